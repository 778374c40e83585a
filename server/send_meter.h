// send_meter.h - counts the results of the update sends that the library
// makes while the server runs one of its operations.
//
// The library delivers each update with ipcSend to the address of every
// registered client type that can receive it, and reports a failed send only
// in its trace.  So that the server can keep per-client-type delivery
// statistics, the server program provides ipcSend itself: it forwards every
// call to the platform's ipcSend and, on a thread where a SendMeter is active,
// records the result of each update send (codes 0x41 to 0x44 to "PSIPC").
// Sends made outside a SendMeter are forwarded untouched.
#pragma once

#include <cstdint>
#include <vector>

namespace vorel::server::detail {

class SendMeter {
  public:
    SendMeter();  // becomes the active meter of the calling thread
    ~SendMeter(); // gives the previous one back
    SendMeter(const SendMeter &) = delete;
    SendMeter &operator=(const SendMeter &) = delete;

    // Results of the update sends, in the order they were made.
    const std::vector<int> &results() const { return results_; }

    // Called by the ipcSend of the server program.
    static void record(int rc);

  private:
    std::vector<int> results_;
    SendMeter *previous_;
};

} // namespace vorel::server::detail
