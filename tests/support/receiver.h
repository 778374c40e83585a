// receiver.h - a real service of the platform's IPC, registered in the test
// process, that keeps every one-way message it is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vorel_platform.h"

namespace vtest::ipc {

struct Received {
    uint32_t code = 0;
    std::vector<uint8_t> body; // the sender's body (the request code word removed)
};

// Owns a service name on this process's node.  One Receiver at a time per program.
class Receiver {
  public:
    explicit Receiver(const char *name);
    ~Receiver();
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    bool registered() const { return handle_ > 0; }
    // Everything received so far, once every message this thread sent to the
    // service before the call has arrived (a marker is sent and awaited).
    std::vector<Received> sync();
    void clear();

  private:
    int handle_ = 0;
    std::string name_;
};

} // namespace vtest::ipc
