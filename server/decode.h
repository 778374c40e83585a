// decode.h - typed views of the update messages that a vorel server delivers
// to its clients, and their text and JSON forms.
//
// A client receives each update as an IPC message code and a body of 32-bit
// words in the machine's byte order:
//
//   0x43 DEV_ONLINE         count, then per entry: num_new, num_removed,
//                           src_pid, the new PIDs, the removed PIDs
//   0x42 DEV_OFFLINE and    total length in bytes, record count, then per
//        REMOTE_DOM_OFFLINE record: pid, num_disconn, the disconnected PIDs
//                           (one record of either is byte for byte the same,
//                           so both decode as Offline)
//   0x41 REMOTE_DOM_ONLINE  n, n source PIDs, a final 0
//   0x44 sync done          empty body
//
// decode() checks the whole body against its format before it hands out a
// view and never reads past the bytes it was given: a malformed or truncated
// message yields an error, not a partial view.  Views do not copy the PID
// lists: they refer to the caller's bytes, which must outlive the Message.
// The bytes need no particular alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vorel::decode {

inline constexpr uint32_t kCodeRemoteDomOnline = 0x41;
inline constexpr uint32_t kCodeOffline = 0x42;
inline constexpr uint32_t kCodeDevOnline = 0x43;
inline constexpr uint32_t kCodeSync = 0x44;

// A run of 32-bit words inside a message body, read in place.
class Words {
  public:
    class iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = uint32_t;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = uint32_t;

        iterator() = default;
        explicit iterator(const std::byte *at) : at_(at) {}
        uint32_t operator*() const
        {
            uint32_t w;
            std::memcpy(&w, at_, sizeof w);
            return w;
        }
        iterator &operator++()
        {
            at_ += sizeof(uint32_t);
            return *this;
        }
        iterator operator++(int)
        {
            iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const iterator &) const = default;

      private:
        const std::byte *at_ = nullptr;
    };

    Words() = default;
    explicit Words(std::span<const std::byte> bytes) : bytes_(bytes) {}

    std::size_t size() const { return bytes_.size() / sizeof(uint32_t); }
    bool empty() const { return size() == 0; }
    uint32_t operator[](std::size_t i) const { return *iterator(bytes_.data() + i * sizeof(uint32_t)); }
    iterator begin() const { return iterator(bytes_.data()); }
    iterator end() const { return iterator(bytes_.data() + size() * sizeof(uint32_t)); }
    std::vector<uint32_t> to_vector() const { return {begin(), end()}; }

  private:
    std::span<const std::byte> bytes_;
};

// DEV_ONLINE: what changed in the connectivity of each source device.
struct OnlineEntry {
    uint32_t src_pid = 0;
    Words new_pids;     // newly connected destinations, in the producer's order
    Words removed_pids; // destinations no longer connected
};
struct DevOnline {
    std::vector<OnlineEntry> entries;
};

// DEV_OFFLINE / REMOTE_DOM_OFFLINE: removed devices and what each was
// connected to.
struct OfflineRecord {
    uint32_t pid = 0;
    Words disconn_pids;
};
struct Offline {
    uint32_t total_length = 0; // the length word the message starts with
    std::vector<OfflineRecord> records;
};

// REMOTE_DOM_ONLINE: the source PIDs of a list of devices.
struct RemoteDomOnline {
    Words pids;
};

// The sync-done notice: the initial load is complete.
struct Sync {};

using Body = std::variant<DevOnline, Offline, RemoteDomOnline, Sync>;

struct Message {
    uint32_t code = 0;
    uint32_t length = 0; // bytes of the body
    Body body;

    // "DEV_ONLINE", "OFFLINE", "REMOTE_DOM_ONLINE" or "SYNC".
    const char *format_name() const;
};

struct Result {
    std::optional<Message> message; // set when the body is well formed
    std::string error;              // why not, otherwise

    bool ok() const { return message.has_value(); }
};

// Decodes one message.  The views in the result refer to `body`.
Result decode(uint32_t code, std::span<const std::byte> body);
Result decode(uint32_t code, const void *body, std::size_t length);

// One message as text, one line per entry or record after a header line:
//   DEV_ONLINE code 0x43 length 28 entries 1
//     src 0x010100 new [0x010200 0x010300] removed [0x010400]
std::string to_text(const Message &msg);
// One JSON object on a single line, for instance
//   {"code":67,"format":"DEV_ONLINE","length":28,"entries":[{"src_pid":65792,"new":[66048,66304],"removed":[66560]}]}
// Offline: {"code":66,"format":"OFFLINE","length":..,"records":[{"pid":..,"disconn":[..]}]}
// REMOTE_DOM_ONLINE: {"code":65,"format":"REMOTE_DOM_ONLINE","length":..,"pids":[..]}
// Sync: {"code":68,"format":"SYNC","length":0}
// PIDs are JSON numbers.
std::string to_json(const Message &msg);

// Decodes and formats in one step.  A malformed message becomes
//   text: "MALFORMED code 0x43 length 6: <why>"
//   JSON: {"code":67,"length":6,"error":"<why>"}
std::string format_text(uint32_t code, std::span<const std::byte> body);
std::string format_json(uint32_t code, std::span<const std::byte> body);

// Builders of the same formats, for producers outside the library (the
// notification benchmark's baseline) and for tests that state expectations.
struct OnlineDelta {
    uint32_t src_pid = 0;
    std::vector<uint32_t> new_pids;
    std::vector<uint32_t> removed_pids;
};
struct OfflineDevice {
    uint32_t pid = 0;
    std::vector<uint32_t> disconn_pids;
};
std::vector<uint32_t> encode_dev_online(std::span<const OnlineDelta> entries);
std::vector<uint32_t> encode_offline(std::span<const OfflineDevice> records);
std::vector<uint32_t> encode_remote_dom_online(std::span<const uint32_t> pids);

} // namespace vorel::decode
