// fuzz_ipc_frame - the IPC service's framing on any byte stream written into
// a fresh connection to a service of this program.  A reference reading says
// which frames the handler must get (every well-formed one up to the first
// malformed or cut one) and which replies come back; afterwards the service
// still answers a request on a new connection.
#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "fuzz_common.h"
#include "ipc_frame.h"

namespace {
using plat::ipc::FrameHeader;
using plat::ipc::FrameKind;

constexpr int kInstance = 123;
constexpr const char *kService = "FZFRAME";
constexpr uint32_t kProbeCode = 0x7E57;
constexpr ipc_timeout_t kTimeout{5, 0};

// A frame as the handler saw it.
struct Seen {
    uint32_t code = 0;
    std::vector<uint8_t> body; // what followed the request code word
    bool request = false;      // it came with a requester to answer
};

std::mutex g_mutex;
std::vector<Seen> g_seen;
int g_bad_calls = 0; // calls that broke the handler's contract
int g_service = 0;

// Answers a request with [the body's length][its first byte, or 0xFF].
int32_t handler(const IPCAddr *requester, uint32_t reply_code, const void *request, uint32_t request_len,
                uint32_t request_code)
{
    Seen s;
    s.code = request_code;
    const auto *bytes = static_cast<const uint8_t *>(request);
    uint32_t first_word = 0;
    if (request == nullptr || request_len < sizeof first_word || reply_code != request_code) {
        std::lock_guard lock(g_mutex);
        ++g_bad_calls;
        return 0;
    }
    std::memcpy(&first_word, bytes, sizeof first_word);
    s.body.assign(bytes + sizeof first_word, bytes + request_len); // reads every byte handed over
    const std::string_view name = plat::ipc::addr_name(*requester);
    s.request = name.size() > 1;
    const bool contract = first_word == request_code && !name.empty() && name[0] == plat::ipc::kReplyPrefix;
    const uint32_t reply[2] = {static_cast<uint32_t>(s.body.size()), s.body.empty() ? 0xFFu : s.body[0]};
    const bool answer = s.request;
    {
        // Recorded before the answer, which lets the requester go on.
        std::lock_guard lock(g_mutex);
        if (!contract)
            ++g_bad_calls;
        g_seen.push_back(std::move(s));
    }
    if (answer)
        (void)ipcSend(requester, reply_code, reply, sizeof reply, &kTimeout);
    return 0;
}

// The frames the service must deliver from `stream`.
std::vector<std::pair<FrameHeader, std::vector<uint8_t>>> reference_frames(std::span<const uint8_t> stream)
{
    std::vector<std::pair<FrameHeader, std::vector<uint8_t>>> out;
    size_t off = 0;
    while (stream.size() - off >= sizeof(FrameHeader)) {
        FrameHeader h;
        std::memcpy(&h, stream.data() + off, sizeof h);
        const bool kind_ok =
            h.kind == static_cast<uint16_t>(FrameKind::OneWay) || h.kind == static_cast<uint16_t>(FrameKind::Request);
        if (h.magic != plat::ipc::kFrameMagic || !kind_ok || h.reserved != 0 || h.length > plat::ipc::kMaxBody ||
            std::string_view(h.service, strnlen(h.service, sizeof h.service)) != kService)
            break;
        off += sizeof h;
        if (stream.size() - off < h.length)
            break;
        out.emplace_back(h, std::vector<uint8_t>(stream.begin() + off, stream.begin() + off + h.length));
        off += h.length;
    }
    return out;
}

std::string socket_path() { return plat::ipc::service_path(static_cast<uint16_t>(myNode()), kService); }

void start_once()
{
    if (!vfuzz::start_process(kInstance))
        return;
    g_service = ipcRegisterService(kService, handler);
    VFUZZ_CHECK(g_service > 0, "cannot register the service");
    // The service stops before the platform's tables go at exit.
    std::atexit([] { (void)ipcUnregisterService(g_service); });
}

int connect_raw()
{
    const std::string path = socket_path();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.data(), std::min(path.size(), sizeof sa.sun_path - 1));
    VFUZZ_CHECK(fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0,
                "cannot connect to the service: %s", std::strerror(errno));
    return fd;
}

// Writes what the service takes; it may end the connection early.
void put_all(int fd, std::span<const uint8_t> bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// Everything the service writes until it ends the stream.
std::vector<uint8_t> read_to_end(int fd)
{
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 10000);
        VFUZZ_CHECK(r != 0, "the service kept the connection open after the end of the input");
        if (r < 0 && errno == EINTR)
            continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) // the end, or a reset when the service left unread bytes behind
            return out;
        out.insert(out.end(), buf, buf + n);
    }
}

void check_replies(const std::vector<std::pair<FrameHeader, std::vector<uint8_t>>> &frames,
                   const std::vector<uint8_t> &stream)
{
    size_t off = 0;
    for (const auto &[h, body] : frames) {
        if (h.kind != static_cast<uint16_t>(FrameKind::Request))
            continue;
        VFUZZ_CHECK(stream.size() - off >= sizeof(FrameHeader) + 8, "reply to request %u missing", h.seq);
        FrameHeader r;
        std::memcpy(&r, stream.data() + off, sizeof r);
        uint32_t words[2];
        std::memcpy(words, stream.data() + off + sizeof r, sizeof words);
        VFUZZ_CHECK(r.magic == plat::ipc::kFrameMagic && r.kind == static_cast<uint16_t>(FrameKind::Reply),
                    "reply to request %u is not a reply frame", h.seq);
        VFUZZ_CHECK(r.seq == h.seq && r.code == h.code && r.length == 8, "reply to request %u: seq %u code %u len %u",
                    h.seq, r.seq, r.code, r.length);
        VFUZZ_CHECK(words[0] == body.size() && words[1] == (body.empty() ? 0xFFu : body[0]),
                    "reply to request %u carries other words", h.seq);
        off += sizeof r + 8;
    }
    VFUZZ_CHECK(off == stream.size(), "%zu bytes beyond the replies", stream.size() - off);
}

// A well-formed request on a new connection is answered.
void check_alive()
{
    IPCAddr to{};
    to.node = static_cast<uint16_t>(myNode());
    to.svc = 0x400;
    std::strncpy(to.name, kService, sizeof to.name - 1);
    const uint8_t body[3] = {0xAB, 1, 2};
    uint32_t reply[2] = {};
    uint32_t reply_len = sizeof reply;
    const int rc = ipcSendRcv(&to, kProbeCode, body, sizeof body, reply, &reply_len, &kTimeout);
    VFUZZ_CHECK(rc == 0, "the service no longer answers (%d)", rc);
    VFUZZ_CHECK(reply_len == 8 && reply[0] == 3 && reply[1] == 0xAB, "the service answers wrongly");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    start_once();
    {
        std::lock_guard lock(g_mutex);
        g_seen.clear();
    }
    const std::span<const uint8_t> input(data, size);
    const auto frames = reference_frames(input);

    const int fd = connect_raw();
    put_all(fd, input);
    (void)::shutdown(fd, SHUT_WR);
    const std::vector<uint8_t> replies = read_to_end(fd);
    ::close(fd);

    std::vector<Seen> seen;
    {
        std::lock_guard lock(g_mutex);
        seen.swap(g_seen);
        VFUZZ_CHECK(g_bad_calls == 0, "the handler was called against its contract");
    }
    VFUZZ_CHECK(seen.size() == frames.size(), "%zu frames handled, %zu well-formed", seen.size(), frames.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        const auto &[h, body] = frames[i];
        VFUZZ_CHECK(seen[i].code == h.code && seen[i].body == body, "frame %zu handled with another code or body", i);
        VFUZZ_CHECK(seen[i].request == (h.kind == static_cast<uint16_t>(FrameKind::Request)),
                    "frame %zu: wrong requester", i);
    }
    check_replies(frames, replies);
    check_alive();
    {
        std::lock_guard lock(g_mutex);
        g_seen.clear();
    }
    return 0;
}
