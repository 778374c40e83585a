// decode.cpp - checking decoder and formatters of the update messages.
#include "decode.h"

#include <cinttypes>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace vorel::decode {

namespace {

constexpr std::size_t kWord = sizeof(uint32_t);

// Reads words from the front of a body; every read is checked against what
// is left, so a lying count can never move the cursor past the end.
class Cursor {
  public:
    explicit Cursor(std::span<const std::byte> body) : rest_(body) {}

    std::size_t words_left() const { return rest_.size() / kWord; }
    bool at_end() const { return rest_.empty(); }

    bool word(uint32_t &out)
    {
        if (rest_.size() < kWord)
            return false;
        std::memcpy(&out, rest_.data(), kWord);
        rest_ = rest_.subspan(kWord);
        return true;
    }

    // The next `n` words as a view; fails when fewer are left.
    bool words(uint32_t n, Words &out)
    {
        if (n > words_left())
            return false;
        out = Words(rest_.first(std::size_t{n} * kWord));
        rest_ = rest_.subspan(std::size_t{n} * kWord);
        return true;
    }

  private:
    std::span<const std::byte> rest_;
};

std::string hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%06" PRIx32, v);
    return buf;
}

std::string describe(const char *what, uint32_t index) { return std::string(what) + " " + std::to_string(index); }

// Each parser fills `body` and returns "" or says what is wrong.
std::string parse_dev_online(Cursor c, Body &body)
{
    uint32_t count = 0;
    if (!c.word(count))
        return "DEV_ONLINE shorter than its count word";
    DevOnline msg;
    for (uint32_t i = 0; i < count; ++i) {
        // Each entry takes three words at least: refuse a count that cannot
        // fit before allocating for it.
        if (c.words_left() < 3)
            return describe("DEV_ONLINE truncated in the header of entry", i);
        OnlineEntry e;
        uint32_t num_new = 0;
        uint32_t num_removed = 0;
        c.word(num_new);
        c.word(num_removed);
        c.word(e.src_pid);
        if (!c.words(num_new, e.new_pids))
            return describe("DEV_ONLINE new PIDs run past the end in entry", i);
        if (!c.words(num_removed, e.removed_pids))
            return describe("DEV_ONLINE removed PIDs run past the end in entry", i);
        msg.entries.push_back(e);
    }
    if (!c.at_end())
        return "DEV_ONLINE has bytes after its last entry";
    body = std::move(msg);
    return {};
}

std::string parse_offline(Cursor c, std::size_t length, Body &body)
{
    Offline msg;
    uint32_t count = 0;
    if (!c.word(msg.total_length) || !c.word(count))
        return "OFFLINE shorter than its two header words";
    if (msg.total_length != length)
        return "OFFLINE length word " + std::to_string(msg.total_length) + " differs from the body's " +
               std::to_string(length) + " bytes";
    for (uint32_t i = 0; i < count; ++i) {
        if (c.words_left() < 2)
            return describe("OFFLINE truncated in the header of record", i);
        OfflineRecord r;
        uint32_t num = 0;
        c.word(r.pid);
        c.word(num);
        if (static_cast<int32_t>(num) < 0)
            return describe("OFFLINE negative num_disconn in record", i);
        if (!c.words(num, r.disconn_pids))
            return describe("OFFLINE disconnected PIDs run past the end in record", i);
        msg.records.push_back(r);
    }
    if (!c.at_end())
        return "OFFLINE has bytes after its last record";
    body = std::move(msg);
    return {};
}

std::string parse_remote_dom_online(Cursor c, Body &body)
{
    uint32_t n = 0;
    if (!c.word(n))
        return "REMOTE_DOM_ONLINE shorter than its count word";
    RemoteDomOnline msg;
    uint32_t last = 0;
    if (!c.words(n, msg.pids) || !c.word(last))
        return "REMOTE_DOM_ONLINE shorter than its count of " + std::to_string(n) + " PIDs and the final 0";
    if (last != 0)
        return "REMOTE_DOM_ONLINE final word is not 0";
    if (!c.at_end())
        return "REMOTE_DOM_ONLINE has bytes after its final 0";
    body = msg;
    return {};
}

std::string parse(uint32_t code, std::span<const std::byte> bytes, Body &body)
{
    if (bytes.size() % kWord != 0)
        return "length " + std::to_string(bytes.size()) + " is not a whole number of words";
    switch (code) {
    case kCodeDevOnline:
        return parse_dev_online(Cursor(bytes), body);
    case kCodeOffline:
        return parse_offline(Cursor(bytes), bytes.size(), body);
    case kCodeRemoteDomOnline:
        return parse_remote_dom_online(Cursor(bytes), body);
    case kCodeSync:
        if (!bytes.empty())
            return "sync notice is not empty";
        body = Sync{};
        return {};
    default:
        return "unknown message code " + hex(code);
    }
}

std::string pid_list(const Words &w)
{
    std::string s = "[";
    for (auto it = w.begin(); it != w.end(); ++it) {
        if (it != w.begin())
            s += ' ';
        s += hex(*it);
    }
    return s + "]";
}

template <class... F> struct Overload : F... {
    using F::operator()...;
};
template <class... F> Overload(F...) -> Overload<F...>;

} // namespace

const char *Message::format_name() const
{
    return std::visit(
        Overload{[](const DevOnline &) { return "DEV_ONLINE"; }, [](const Offline &) { return "OFFLINE"; },
                 [](const RemoteDomOnline &) { return "REMOTE_DOM_ONLINE"; }, [](const Sync &) { return "SYNC"; }},
        body);
}

Result decode(uint32_t code, std::span<const std::byte> body)
{
    Result r;
    Body parsed;
    r.error = parse(code, body, parsed);
    if (r.error.empty())
        r.message = Message{code, static_cast<uint32_t>(body.size()), std::move(parsed)};
    return r;
}

Result decode(uint32_t code, const void *body, std::size_t length)
{
    if (body == nullptr && length > 0)
        return Result{std::nullopt, "no body for a length of " + std::to_string(length)};
    return decode(code, std::span<const std::byte>(static_cast<const std::byte *>(body), body ? length : 0));
}

std::string to_text(const Message &msg)
{
    char head[96];
    std::snprintf(head, sizeof head, "%s code 0x%02" PRIx32 " length %" PRIu32, msg.format_name(), msg.code,
                  msg.length);
    std::string s = head;
    std::visit(Overload{[&](const DevOnline &m) {
                            s += " entries " + std::to_string(m.entries.size()) + "\n";
                            for (const auto &e : m.entries)
                                s += "  src " + hex(e.src_pid) + " new " + pid_list(e.new_pids) + " removed " +
                                     pid_list(e.removed_pids) + "\n";
                        },
                        [&](const Offline &m) {
                            s += " records " + std::to_string(m.records.size()) + "\n";
                            for (const auto &r : m.records)
                                s += "  pid " + hex(r.pid) + " disconnected " + pid_list(r.disconn_pids) + "\n";
                        },
                        [&](const RemoteDomOnline &m) { s += " pids " + pid_list(m.pids) + "\n"; },
                        [&](const Sync &) { s += "\n"; }},
               msg.body);
    return s;
}

std::string to_json(const Message &msg)
{
    nlohmann::ordered_json j;
    j["code"] = msg.code;
    j["format"] = msg.format_name();
    j["length"] = msg.length;
    std::visit(Overload{[&](const DevOnline &m) {
                            auto entries = nlohmann::ordered_json::array();
                            for (const auto &e : m.entries)
                                entries.push_back({{"src_pid", e.src_pid},
                                                   {"new", e.new_pids.to_vector()},
                                                   {"removed", e.removed_pids.to_vector()}});
                            j["entries"] = std::move(entries);
                        },
                        [&](const Offline &m) {
                            auto records = nlohmann::ordered_json::array();
                            for (const auto &r : m.records)
                                records.push_back({{"pid", r.pid}, {"disconn", r.disconn_pids.to_vector()}});
                            j["records"] = std::move(records);
                        },
                        [&](const RemoteDomOnline &m) { j["pids"] = m.pids.to_vector(); }, [](const Sync &) {}},
               msg.body);
    return j.dump();
}

std::string format_text(uint32_t code, std::span<const std::byte> body)
{
    const Result r = decode(code, body);
    if (r.ok())
        return to_text(*r.message);
    char head[64];
    std::snprintf(head, sizeof head, "MALFORMED code 0x%02" PRIx32 " length %zu: ", code, body.size());
    return head + r.error + "\n";
}

std::string format_json(uint32_t code, std::span<const std::byte> body)
{
    const Result r = decode(code, body);
    if (r.ok())
        return to_json(*r.message);
    nlohmann::ordered_json j;
    j["code"] = code;
    j["length"] = body.size();
    j["error"] = r.error;
    return j.dump();
}

std::vector<uint32_t> encode_dev_online(std::span<const OnlineDelta> entries)
{
    std::vector<uint32_t> w{static_cast<uint32_t>(entries.size())};
    for (const auto &e : entries) {
        w.push_back(static_cast<uint32_t>(e.new_pids.size()));
        w.push_back(static_cast<uint32_t>(e.removed_pids.size()));
        w.push_back(e.src_pid);
        w.insert(w.end(), e.new_pids.begin(), e.new_pids.end());
        w.insert(w.end(), e.removed_pids.begin(), e.removed_pids.end());
    }
    return w;
}

std::vector<uint32_t> encode_offline(std::span<const OfflineDevice> records)
{
    std::vector<uint32_t> w{0, static_cast<uint32_t>(records.size())};
    for (const auto &r : records) {
        w.push_back(r.pid);
        w.push_back(static_cast<uint32_t>(r.disconn_pids.size()));
        w.insert(w.end(), r.disconn_pids.begin(), r.disconn_pids.end());
    }
    w[0] = static_cast<uint32_t>(w.size() * kWord);
    return w;
}

std::vector<uint32_t> encode_remote_dom_online(std::span<const uint32_t> pids)
{
    std::vector<uint32_t> w{static_cast<uint32_t>(pids.size())};
    w.insert(w.end(), pids.begin(), pids.end());
    w.push_back(0);
    return w;
}

} // namespace vorel::decode
