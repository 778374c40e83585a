// ipc_frame.h - the wire format of the IPC service and the socket helpers
// that both its client side (ipcSend, ipcSendRcv) and its dispatch threads
// use.
//
// Every frame is a fixed 40-byte header followed by `length` body bytes.
// Integers travel in the machine's own byte order: both ends always run on the
// same machine.  A service owns one Unix stream socket per node and name,
// "<run dir>/ipc.<node>.<name>"; every request or one-way frame also carries
// the name of the service it is meant for, so a frame that reaches the wrong
// socket is refused.
#pragma once

#include <sys/uio.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "vorel_platform.h"

namespace plat::ipc {

inline constexpr uint32_t kFrameMagic = 0x56495043; // "VIPC"
inline constexpr uint32_t kMaxBody = 64u << 20;     // largest body of any frame
inline constexpr size_t kNameMax = sizeof(IPCAddr::name);

enum class FrameKind : uint16_t {
    OneWay = 1,  // ipcSend: no reply expected
    Request = 2, // ipcSendRcv: the service answers with a Reply
    Reply = 3,   // the answer to a Request, on the requester's connection
};

struct FrameHeader {
    uint32_t magic;
    uint16_t kind;          // FrameKind
    uint16_t reserved;      // 0
    uint32_t code;          // message or request code; a reply carries the handler's code
    uint32_t length;        // body bytes that follow the header
    uint32_t seq;           // chosen by the requester, echoed by the reply
    char service[kNameMax]; // destination service, NUL-padded; empty in a reply
};
static_assert(sizeof(FrameHeader) == 40, "the frame header is part of the wire format");

FrameHeader make_header(FrameKind kind, uint32_t code, uint32_t length, uint32_t seq, std::string_view service);

// Length of a service name in an IPCAddr (which need not be NUL-terminated
// when it fills all 20 bytes).
std::string_view addr_name(const IPCAddr &addr);

// True for names a service may own: 1 to 19 printable characters, no '/',
// not starting with the reply prefix '@'.
bool valid_service_name(std::string_view name);

// Requester addresses handed to handlers start with this prefix.
inline constexpr char kReplyPrefix = '@';

// "<run dir>/ipc.<node>.<name>"; empty when the path does not fit a socket address.
std::string service_path(uint16_t node, std::string_view name);

// The end of a call's time budget; none = wait without limit.
class Deadline {
  public:
    using Clock = std::chrono::steady_clock;
    Deadline() = default; // unlimited
    explicit Deadline(const ipc_timeout_t *timeout);
    bool unlimited() const { return !at_; }
    bool expired() const { return at_ && Clock::now() >= *at_; }
    // Milliseconds to pass to poll(): -1 unlimited, 0 expired, else rounded up.
    int poll_ms() const;
    // For std::timed_mutex::try_lock_until.
    Clock::time_point time_point() const { return *at_; }

  private:
    std::optional<Clock::time_point> at_;
};

// Closes the descriptor it holds.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Connects a non-blocking stream socket to the service socket at `path`.
// PLAT_ERR_NOENT when nobody serves it (no socket file, or nobody listening),
// PLAT_ERR_TIMEOUT when its backlog stays full past the deadline.
int connect_service(const std::string &path, const Deadline &deadline, UniqueFd &out);

// Writes header + body.  `sent` tells how many bytes left before a failure.
// PLAT_ERR_PEERGONE when the peer closed, PLAT_ERR_TIMEOUT when it stopped
// reading for longer than the deadline.  Never raises SIGPIPE.
int send_frame(int fd, const FrameHeader &hdr, std::span<const uint8_t> body, const Deadline &deadline,
               size_t *sent = nullptr);

// Reads exactly `buf.size()` bytes.  PLAT_ERR_PEERGONE on end of stream.
int recv_exact(int fd, std::span<uint8_t> buf, const Deadline &deadline);

// Maps an errno value of a socket call to a platform result.
int errno_result(int err);

} // namespace plat::ipc
