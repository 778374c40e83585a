// progress.h - a one-line progress bar for long loads.  By default it is
// drawn on stderr, and only when standard output is a terminal (so pipes and
// logs stay clean); a program started by another one (the demo's server) may
// be handed the terminal to draw on instead.
#pragma once

#include <cstdint>
#include <string>

namespace vorel::tool {

class Progress {
  public:
    // `fd` -1: stderr when stdout is a terminal; otherwise that descriptor
    // when it is a terminal.
    Progress(std::string label, uint64_t total, int fd = -1);
    ~Progress(); // ends the line when one was drawn
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update(uint64_t done);
    bool shown() const { return enabled_; }

  private:
    std::string label_;
    uint64_t total_;
    int fd_;
    bool enabled_;
    int last_permille_ = -1;
};

} // namespace vorel::tool
