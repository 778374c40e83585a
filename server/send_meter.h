// send_meter.h - names the client type of each update send that the library
// makes while the server runs one of its operations.
//
// The library delivers each update with ipcSend to the address of every
// registered client type that can receive it, in registry order, and reports
// a failed send only in its trace.  So that the platform can count the fate
// of the messages per client type (delivered, failed, queued: see
// ipcSendStats), the server program provides ipcSend itself: on a thread
// where a SendMeter is active, the k-th update send (codes 0x41 to 0x44 to
// "PSIPC") goes out with ipcSendTagged under the k-th receiving type, counted
// round the meter's list of receivers, and waits for room in the receiver's
// output buffer no longer than the meter allows.  Every other send is
// forwarded to the platform's ipcSend untouched.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorel::server::detail {

class SendMeter {
  public:
    // Becomes the active meter of the calling thread; `receivers` are the
    // types that receive updates, in registry order; `wait` bounds each
    // update send's wait for room.
    SendMeter(std::vector<uint32_t> receivers, std::chrono::milliseconds wait);
    ~SendMeter(); // gives the previous one back
    SendMeter(const SendMeter &) = delete;
    SendMeter &operator=(const SendMeter &) = delete;

    // The client type of the next update send of the calling thread and
    // its wait for room; false when no meter is active or it has no receivers.
    static bool next_type(uint32_t &type, std::chrono::milliseconds &wait);

  private:
    std::vector<uint32_t> receivers_;
    std::chrono::milliseconds wait_;
    std::size_t sends_ = 0;
    SendMeter *previous_;
};

} // namespace vorel::server::detail
