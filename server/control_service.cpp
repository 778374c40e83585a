// control_service.cpp - the control requests of a vorel server: JSON in,
// library operations through the Server, JSON out.
#include "control_service.h"

#include <unistd.h>

#include <cstring>
#include <exception>
#include <limits>
#include <set>
#include <vector>

#include "server_core.h"

namespace vorel::control {

namespace {

using json = nlohmann::json;

// Thrown while reading a request; becomes a kErrBadRequest reply.
struct BadRequest {
    std::string why;
};

template <class T> T number(const json &j, const char *key, T fallback)
{
    if (!j.contains(key))
        return fallback;
    const json &v = j.at(key);
    if (!v.is_number_integer())
        throw BadRequest{std::string("\"") + key + "\" is not an integer"};
    if (v.is_number_unsigned()) {
        const auto u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<T>::max()))
            throw BadRequest{std::string("\"") + key + "\" is out of range"};
        return static_cast<T>(u);
    }
    const auto i = v.get<int64_t>();
    if (i < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
        (i > 0 && static_cast<uint64_t>(i) > static_cast<uint64_t>(std::numeric_limits<T>::max())))
        throw BadRequest{std::string("\"") + key + "\" is out of range"};
    return static_cast<T>(i);
}

template <class T> T required(const json &j, const char *key)
{
    if (!j.contains(key))
        throw BadRequest{std::string("missing \"") + key + "\""};
    return number<T>(j, key, T{});
}

bool flag(const json &j, const char *key)
{
    if (!j.contains(key))
        return false;
    if (!j.at(key).is_boolean())
        throw BadRequest{std::string("\"") + key + "\" is not true or false"};
    return j.at(key).get<bool>();
}

const json &array(const json &j, const char *key)
{
    if (!j.contains(key) || !j.at(key).is_array())
        throw BadRequest{std::string("\"") + key + "\" is not an array"};
    return j.at(key);
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr uint32_t kMaxPid = 0xFFFFFF;
constexpr uint32_t kLastUpdateType = VOREL_UPD_SYNC;

std::string pid_text(uint32_t pid)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%06x", static_cast<unsigned>(pid));
    return buf;
}

uint32_t update_type(const json &req, uint32_t fallback)
{
    const auto t = number<uint32_t>(req, "type", fallback);
    if (t > kLastUpdateType)
        throw BadRequest{"update type " + std::to_string(t) + " is outside 0..8"};
    return t;
}

// A device neither lists itself nor one destination twice: the store would
// keep the repeats, and the device would be its own peer.
void check_links(const server::Device &d)
{
    std::set<uint32_t> seen;
    for (const DevInfo &x : d.destinations) {
        if (x.pid == d.dev.pid)
            throw BadRequest{"device " + pid_text(d.dev.pid) + " lists itself as a destination"};
        if (!seen.insert(x.pid).second)
            throw BadRequest{"device " + pid_text(d.dev.pid) + " lists destination " + pid_text(x.pid) + " twice"};
    }
}

server::Device device_of(const json &j)
{
    server::Device d;
    std::string why;
    if (!device_from_json(j, d, why))
        throw BadRequest{why};
    check_links(d);
    return d;
}

json status(int32_t rc) { return json{{"rc", rc}}; }

json outcome_reply(int32_t rc, const server::Outcome &out, bool queued, const char *done = "stored")
{
    json reply = status(rc);
    if (rc != control::kErrRefused && !queued && out.requested != 0) {
        reply["requested"] = out.requested;
        reply[done] = out.stored;
    }
    if (!out.error.empty())
        reply["error"] = out.error;
    return reply;
}

std::vector<uint8_t> domains_of(const json &req)
{
    std::vector<uint8_t> out;
    if (!req.contains("domains"))
        return out;
    for (const json &d : array(req, "domains")) {
        if (!d.is_number_unsigned() || d.get<uint64_t>() < 1 || d.get<uint64_t>() > 255)
            throw BadRequest{"\"domains\" holds something that is not a domain (1..255)"};
        out.push_back(d.get<uint8_t>());
    }
    return out;
}

json stats_json(const server::Stats &s)
{
    json clients = json::array();
    for (const auto &c : s.clients)
        clients.push_back({{"type", c.type},
                           {"registered", c.registered},
                           {"delivered", c.delivered},
                           {"failed", c.failed},
                           {"queued", c.queued},
                           {"queued_bytes", c.queued_bytes},
                           {"oldest_ms", c.oldest_ms},
                           {"cutoffs", c.cutoffs}});
    return json{{"rc", 0},
                {"revision", s.revision},
                {"registered", s.registered},
                {"clients", std::move(clients)},
                {"handled", s.handled},
                {"queue_depth", s.queue_depth},
                {"malformed", s.malformed},
                {"ipc_limits",
                 {{"outbuf", s.limits.outbuf},
                  {"max_connections", s.limits.max_connections},
                  {"reply_deadline_ms", s.limits.reply_deadline_ms}}}};
}

json dispatch(server::Server &srv, uint32_t code, const json &req)
{
    const bool queued = flag(req, "queued");
    switch (code) {
    case CTL_ADD: {
        const server::Device d = device_of(req);
        server::Outcome out;
        const int32_t rc = srv.add_device(d, update_type(req, VOREL_UPD_DEV_ONLINE), queued, &out);
        return outcome_reply(rc, out, queued);
    }
    case CTL_DELETE: {
        server::Outcome out;
        const int32_t rc = srv.delete_device(required<uint32_t>(req, "pid"), queued, &out);
        return outcome_reply(rc, out, queued, "removed");
    }
    case CTL_DELETE_DOMAIN: {
        server::Outcome out;
        const int32_t rc = srv.delete_domain(required<uint32_t>(req, "domain"), queued, &out);
        json reply = status(rc);
        if (rc == 0 && !queued)
            reply["removed"] = out.stored;
        return reply;
    }
    case CTL_ADD_LIST: {
        const uint32_t type = update_type(req, VOREL_UPD_DEV_ONLINE);
        const std::vector<uint8_t> domains = domains_of(req);
        std::vector<server::Device> devices;
        std::set<uint32_t> seen;
        for (const json &e : array(req, "devices")) {
            devices.push_back(device_of(e));
            if (!seen.insert(devices.back().dev.pid).second)
                throw BadRequest{"device " + pid_text(devices.back().dev.pid) + " is listed twice"};
        }
        srv.add_domains(domains);
        server::Outcome out;
        const int32_t rc = srv.add_list(devices, type, queued, &out);
        return outcome_reply(rc, out, queued);
    }
    case CTL_DELETE_LIST: {
        std::vector<uint32_t> pids;
        for (const json &p : array(req, "pids")) {
            if (!p.is_number_unsigned() || p.get<uint64_t>() > kMaxPid)
                throw BadRequest{"\"pids\" holds something that is not a 24-bit PID"};
            pids.push_back(p.get<uint32_t>());
        }
        server::Outcome out;
        const int32_t rc = srv.delete_list(pids, update_type(req, VOREL_UPD_LIST_OFFLINE), queued, &out);
        return outcome_reply(rc, out, queued, "removed");
    }
    case CTL_SYNC:
        return status(srv.sync_done(queued));
    case CTL_STATS:
        return stats_json(srv.stats());
    case CTL_PING:
        return json{{"rc", 0},
                    {"pid", static_cast<int64_t>(getpid())},
                    {"instance", srv.instance()},
                    {"disabled", srv.disabled()}};
    case CTL_DRAIN:
        return status(srv.drain() ? 0 : VOREL_E_UNINIT);
    default:
        return json{{"rc", kErrUnknownCode}, {"error", "unknown request code " + std::to_string(code)}};
    }
}

} // namespace

json devinfo_to_json(const DevInfo &dev)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string extra;
    for (const uint8_t b : dev.dev_extra) {
        extra += kHex[b >> 4];
        extra += kHex[b & 0xF];
    }
    return json{{"pid", dev.pid}, {"ind", dev.ind}, {"spd", dev.spd}, {"flags", dev.devflags}, {"extra", extra}};
}

bool devinfo_from_json(const json &j, DevInfo &dev, std::string &error)
{
    try {
        if (!j.is_object())
            throw BadRequest{"a device is not an object"};
        dev = DevInfo{};
        dev.pid = required<uint32_t>(j, "pid");
        if (dev.pid > kMaxPid)
            throw BadRequest{"PID " + std::to_string(dev.pid) + " is wider than 24 bits (at most 0xFFFFFF)"};
        dev.ind = number<int16_t>(j, "ind", 0);
        dev.spd = number<uint16_t>(j, "spd", 0);
        dev.devflags = number<uint32_t>(j, "flags", 0);
        if (j.contains("extra")) {
            if (!j.at("extra").is_string())
                throw BadRequest{"\"extra\" is not a string"};
            const auto &hex = j.at("extra").get_ref<const std::string &>();
            if (hex.size() % 2 != 0 || hex.size() > 2 * sizeof dev.dev_extra)
                throw BadRequest{"\"extra\" is not up to 16 bytes of hex digits"};
            for (std::size_t i = 0; i < hex.size(); i += 2) {
                const int hi = hex_digit(hex[i]);
                const int lo = hex_digit(hex[i + 1]);
                if (hi < 0 || lo < 0)
                    throw BadRequest{"\"extra\" is not up to 16 bytes of hex digits"};
                dev.dev_extra[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
            }
        }
        return true;
    } catch (const BadRequest &bad) {
        error = bad.why;
        return false;
    }
}

json device_to_json(const server::Device &device)
{
    json dsts = json::array();
    for (const DevInfo &d : device.destinations)
        dsts.push_back(devinfo_to_json(d));
    return json{{"device", devinfo_to_json(device.dev)}, {"destinations", std::move(dsts)}};
}

bool device_from_json(const json &j, server::Device &device, std::string &error)
{
    if (!j.is_object() || !j.contains("device")) {
        error = "missing \"device\"";
        return false;
    }
    device = server::Device{};
    if (!devinfo_from_json(j.at("device"), device.dev, error))
        return false;
    if (!j.contains("destinations"))
        return true;
    if (!j.at("destinations").is_array()) {
        error = "\"destinations\" is not an array";
        return false;
    }
    for (const json &d : j.at("destinations")) {
        DevInfo dst{};
        if (!devinfo_from_json(d, dst, error))
            return false;
        device.destinations.push_back(dst);
    }
    return true;
}

int32_t call(uint32_t code, const json &body, json &reply, uint32_t timeout_sec)
{
    IPCAddr addr{};
    addr.node = static_cast<uint16_t>(myNode() & 0xFFFFu);
    addr.svc = VOREL_IPC_SVC;
    std::strncpy(addr.name, kServiceName, sizeof addr.name - 1);
    const std::string text = body.dump();
    std::vector<char> buf(kMaxReply);
    uint32_t len = kMaxReply;
    const ipc_timeout_t timeout{timeout_sec, 0};
    const int rc = ipcSendRcv(&addr, code, text.data(), static_cast<uint32_t>(text.size()), buf.data(), &len,
                              timeout_sec != 0 ? &timeout : nullptr);
    if (rc != 0)
        return rc;
    reply = json::parse(buf.begin(), buf.begin() + std::min<uint32_t>(len, kMaxReply), nullptr, false);
    return reply.is_discarded() ? kErrBadRequest : 0;
}

} // namespace vorel::control

namespace vorel::server {

// Any request gets a reply: a body that is not JSON, not UTF-8 or not what
// the code asks for, and any exception, become an error reply.  Texts that
// echo the request (a parser's message quotes the offending bytes) are
// written with invalid UTF-8 replaced, so the reply itself is always valid.
std::string handle_control(Server &server, uint32_t code, std::string_view body) noexcept
{
    using control::json;
    try {
        json reply;
        try {
            const json req = body.empty() ? json::object() : json::parse(body.begin(), body.end());
            if (!req.is_object())
                throw control::BadRequest{"the body is not a JSON object"};
            reply = control::dispatch(server, code, req);
        } catch (const json::exception &e) {
            reply = json{{"rc", control::kErrBadRequest}, {"error", std::string("invalid JSON: ") + e.what()}};
        } catch (const control::BadRequest &bad) {
            reply = json{{"rc", control::kErrBadRequest}, {"error", bad.why}};
        } catch (const std::bad_alloc &) {
            reply = json{{"rc", VOREL_E_NOMEM}, {"error", "out of memory"}};
        } catch (const std::exception &e) {
            reply = json{{"rc", control::kErrBadRequest}, {"error", std::string("request failed: ") + e.what()}};
        }
        return reply.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (...) {
        return R"({"rc":-100,"error":"the request could not be answered"})";
    }
}

} // namespace vorel::server
