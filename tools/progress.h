// progress.h - a one-line progress bar on stderr for long loads, drawn only
// when standard output is a terminal (so pipes and logs stay clean).
#pragma once

#include <cstdint>
#include <string>

namespace vorel::tool {

class Progress {
  public:
    Progress(std::string label, uint64_t total);
    ~Progress(); // ends the line when one was drawn
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update(uint64_t done);
    bool shown() const { return enabled_; }

  private:
    std::string label_;
    uint64_t total_;
    bool enabled_;
    int last_permille_ = -1;
};

} // namespace vorel::tool
