// raw_ipc.h - the platform's IPC frames as they travel, and a client
// connection that writes them by hand, for tests that feed a service
// malformed, cut or run-together frames.
//
//   vtest::RawConn c(socket_path);
//   const vtest::WireHeader h = vtest::request_header("NSIPC", code, 4, 1);
//   c.put(&h, sizeof h);
//   c.end_writes();
//   EXPECT_TRUE(c.closed_by_peer());
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtest {

// The frame header: magic "VIPC", kind (2 = request, 3 = reply), reserved,
// code, body length, sequence, then the 20-byte service name; native byte
// order.
struct WireHeader {
    uint32_t magic = 0x56495043;
    uint16_t kind = 2;
    uint16_t reserved = 0;
    uint32_t code = 0;
    uint32_t length = 0;
    uint32_t seq = 0;
    char service[20] = {};
};
static_assert(sizeof(WireHeader) == 40);

// The largest body the platform's IPC carries.
inline constexpr uint32_t kIpcMaxBody = 64u << 20;

// A request header for `service`.
WireHeader request_header(const char *service, uint32_t code, uint32_t length, uint32_t seq);

// A client connection to a service's socket that writes frames by hand.
class RawConn {
  public:
    explicit RawConn(const std::string &path);
    ~RawConn();
    RawConn(const RawConn &) = delete;
    RawConn &operator=(const RawConn &) = delete;

    bool connected() const { return connected_; }
    // Sends exactly n bytes.
    bool put(const void *p, size_t n);
    // Ends the writing half: the service sees the end of the stream.
    void end_writes();
    // Reads exactly n bytes; false at the end of the stream or after 10 s.
    bool get(void *p, size_t n);
    // True when the service ends the connection within 10 s.
    bool closed_by_peer();

  private:
    int fd_ = -1;
    bool connected_ = false;
};

} // namespace vtest
