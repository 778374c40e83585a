// progress.cpp - the progress bar.
#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace vorel::tool {

namespace {

constexpr int kWidth = 40;

void write_all(int fd, const char *text, size_t len)
{
    while (len > 0) {
        const ssize_t n = ::write(fd, text, len);
        if (n <= 0)
            return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

} // namespace

Progress::Progress(std::string label, uint64_t total, int fd)
    : label_(std::move(label)), total_(total), fd_(fd < 0 ? STDERR_FILENO : fd),
      enabled_(total > 0 && isatty(fd < 0 ? STDOUT_FILENO : fd) == 1)
{
}

Progress::~Progress()
{
    if (enabled_ && last_permille_ >= 0)
        write_all(fd_, "\n", 1);
}

void Progress::update(uint64_t done)
{
    if (!enabled_)
        return;
    const int permille = static_cast<int>(done >= total_ ? 1000 : done * 1000 / total_);
    if (permille == last_permille_)
        return;
    last_permille_ = permille;
    const int filled = permille * kWidth / 1000;
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    char line[512];
    const int n = std::snprintf(line, sizeof line, "\r%s [%s] %3d%% %llu/%llu", label_.c_str(), bar, permille / 10,
                                static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_));
    if (n > 0)
        write_all(fd_, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

} // namespace vorel::tool
