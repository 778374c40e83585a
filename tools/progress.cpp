// progress.cpp - the progress bar.
#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace vorel::tool {

namespace {
constexpr int kWidth = 40;
}

Progress::Progress(std::string label, uint64_t total)
    : label_(std::move(label)), total_(total), enabled_(total > 0 && isatty(STDOUT_FILENO) == 1)
{
}

Progress::~Progress()
{
    if (enabled_ && last_permille_ >= 0)
        std::fputc('\n', stderr);
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
    std::fprintf(stderr, "\r%s [%s] %3d%% %llu/%llu", label_.c_str(), bar, permille / 10,
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_));
    std::fflush(stderr);
}

} // namespace vorel::tool
