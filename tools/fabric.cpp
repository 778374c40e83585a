// fabric.cpp - fabric files: parsing with exact error positions, zoning into
// destination lists, and the bulk list the library loads.
#include "fabric.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "pid.h"

namespace vorel::tool {

using nlohmann::json;

namespace {

// A refusal while parsing: the JSON pointer of the offending value and why.
struct Refusal {
    std::string where;
    std::string why;
};

// Line and column (both from 1) of a byte position given by the JSON parser.
std::pair<size_t, size_t> line_column(std::string_view text, size_t byte)
{
    size_t line = 1;
    size_t column = 1;
    const size_t end = std::min(byte == 0 ? 0 : byte - 1, text.size());
    for (size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return {line, column};
}

std::string at(const std::string &base, const std::string &key) { return base + "/" + key; }
std::string at(const std::string &base, size_t index) { return base + "/" + std::to_string(index); }

// An unsigned integer from a JSON number or, where allowed, a numeric string.
std::optional<uint64_t> as_unsigned(const json &v, bool allow_string)
{
    if (v.is_number_unsigned())
        return v.get<uint64_t>();
    if (v.is_number_integer() && v.get<int64_t>() >= 0)
        return static_cast<uint64_t>(v.get<int64_t>());
    if (allow_string && v.is_string())
        return parse_number(v.get<std::string>());
    return std::nullopt;
}

uint32_t pid_value(const json &v, const std::string &where)
{
    if (v.is_string()) {
        std::string error;
        const auto pid = parse_pid(v.get<std::string>(), error);
        if (!pid)
            throw Refusal{where, error};
        return *pid;
    }
    const auto n = as_unsigned(v, false);
    if (!n)
        throw Refusal{where, "a PID must be a hexadecimal string such as \"0x010100\""};
    if (*n > kMaxPid)
        throw Refusal{where, "PID " + std::to_string(*n) + " is wider than 24 bits"};
    if (std::string why = pid_problem(static_cast<uint32_t>(*n)); !why.empty())
        throw Refusal{where, why};
    return static_cast<uint32_t>(*n);
}

template <class T> T bounded(const json &obj, const char *key, const std::string &where, int64_t lo, int64_t hi)
{
    const auto it = obj.find(key);
    if (it == obj.end())
        return T{};
    const std::string w = at(where, key);
    if (it->is_number_integer()) {
        const int64_t v =
            it->is_number_unsigned() && it->get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max())
                ? std::numeric_limits<int64_t>::max()
                : it->get<int64_t>();
        if (v < lo || v > hi)
            throw Refusal{w, "'" + std::string(key) + "' must be in " + std::to_string(lo) + ".." + std::to_string(hi)};
        return static_cast<T>(v);
    }
    if (it->is_string() && lo >= 0) {
        const auto v = parse_number(it->get<std::string>());
        if (!v || *v > uint64_t(hi))
            throw Refusal{w, "'" + std::string(key) + "' must be a number in 0.." + std::to_string(hi)};
        return static_cast<T>(*v);
    }
    throw Refusal{w, "'" + std::string(key) + "' must be an integer"};
}

DevInfo parse_device(const json &d, const std::string &where)
{
    if (!d.is_object())
        throw Refusal{where, "a device must be an object"};
    const auto pid = d.find("pid");
    if (pid == d.end())
        throw Refusal{where, "device without 'pid'"};
    DevInfo info{};
    info.pid = pid_value(*pid, at(where, "pid"));
    info.ind =
        bounded<int16_t>(d, "ind", where, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max());
    info.spd = bounded<uint16_t>(d, "spd", where, 0, std::numeric_limits<uint16_t>::max());
    info.devflags = bounded<uint32_t>(d, "flags", where, 0, std::numeric_limits<uint32_t>::max());
    if (const auto extra = d.find("extra"); extra != d.end()) {
        if (!extra->is_string() || !parse_extra(extra->get<std::string>(), info.dev_extra))
            throw Refusal{at(where, "extra"), "'extra' must be a hex string of at most 16 bytes"};
    }
    return info;
}

void parse_devices(const json &root, Fabric &f, std::unordered_map<uint32_t, size_t> &index)
{
    const auto devices = root.find("devices");
    if (devices == root.end())
        throw Refusal{"/devices", "missing the 'devices' array"};
    if (!devices->is_array())
        throw Refusal{"/devices", "'devices' must be an array"};
    f.devices.reserve(devices->size());
    for (size_t i = 0; i < devices->size(); ++i) {
        const std::string where = at("/devices", i);
        const DevInfo info = parse_device((*devices)[i], where);
        const auto [it, fresh] = index.emplace(info.pid, i);
        if (!fresh)
            throw Refusal{at(where, "pid"),
                          "duplicate device " + pid_hex(info.pid) + " (first at " + at("/devices", it->second) + ")"};
        f.devices.push_back(info);
    }
}

void parse_zones(const json &root, Fabric &f, const std::unordered_map<uint32_t, size_t> &index)
{
    const auto zones = root.find("zones");
    if (zones == root.end())
        return;
    if (!zones->is_array())
        throw Refusal{"/zones", "'zones' must be an array"};
    f.zones.reserve(zones->size());
    for (size_t i = 0; i < zones->size(); ++i) {
        const std::string where = at("/zones", i);
        const json &z = (*zones)[i];
        if (!z.is_object())
            throw Refusal{where, "a zone must be an object"};
        Zone zone;
        zone.name = "zone" + std::to_string(i);
        if (const auto name = z.find("name"); name != z.end()) {
            if (!name->is_string())
                throw Refusal{at(where, "name"), "a zone name must be a string"};
            zone.name = name->get<std::string>();
        }
        const auto members = z.find("members");
        if (members == z.end() || !members->is_array())
            throw Refusal{at(where, "members"), "zone '" + zone.name + "' needs a 'members' array"};
        for (size_t m = 0; m < members->size(); ++m) {
            const std::string mw = at(at(where, "members"), m);
            const uint32_t pid = pid_value((*members)[m], mw);
            if (!index.contains(pid))
                throw Refusal{mw, "zone '" + zone.name + "' member " + pid_hex(pid) + " is not a device"};
            zone.members.push_back(pid);
        }
        f.zones.push_back(std::move(zone));
    }
}

void parse_switch(const json &root, Fabric &f)
{
    std::vector<bool> listed(256, false);
    for (const DevInfo &d : f.devices)
        listed[pid_domain(d.pid)] = true;
    const auto sw = root.find("switch");
    bool explicit_list = false;
    if (sw != root.end()) {
        if (!sw->is_object())
            throw Refusal{"/switch", "'switch' must be an object"};
        f.domain = bounded<uint32_t>(*sw, "domain", "/switch", 0, 255);
        if (sw->contains("domain") && f.domain == 0)
            throw Refusal{"/switch/domain", "the switch's domain must be in 1..255"};
        if (const auto doms = sw->find("domains"); doms != sw->end()) {
            if (!doms->is_array())
                throw Refusal{"/switch/domains", "'domains' must be an array"};
            explicit_list = true;
            std::vector<bool> given(256, false);
            for (size_t i = 0; i < doms->size(); ++i) {
                const auto d = as_unsigned((*doms)[i], false);
                if (!d || *d < 1 || *d > 255)
                    throw Refusal{at("/switch/domains", i), "a domain must be in 1..255"};
                given[*d] = true;
            }
            for (size_t d = 1; d < 256; ++d)
                if (listed[d] && !given[d])
                    throw Refusal{"/switch/domains", "domain " + std::to_string(d) + " has devices but is not listed"};
            listed = given;
        }
    }
    if (f.domain == 0) {
        const auto first = std::find(listed.begin() + 1, listed.end(), true);
        f.domain = first == listed.end() ? 1 : static_cast<uint32_t>(first - listed.begin());
    }
    if (explicit_list && !listed[f.domain])
        throw Refusal{"/switch/domains", "the switch's own domain " + std::to_string(f.domain) + " is not listed"};
    listed[f.domain] = true;
    for (size_t d = 1; d < 256; ++d)
        if (listed[d])
            f.domains.push_back(static_cast<uint8_t>(d));
}

} // namespace

namespace {

// The parser's message quotes the bytes it stopped at; bytes that are not
// printable ASCII (such as invalid UTF-8) are shown as '?'.
std::string printable(std::string text)
{
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            c = '?';
    return text;
}

} // namespace

std::optional<Fabric> parse_fabric(std::string_view text, const std::string &name, std::string &error)
{
    json root;
    try {
        root = json::parse(text.begin(), text.end());
    } catch (const json::parse_error &e) {
        const auto [line, column] = line_column(text, e.byte);
        std::string what = e.what();
        // The parser's own text starts with its exception id; keep what follows.
        if (const auto pos = what.find("parse error"); pos != std::string::npos)
            what = what.substr(pos);
        if (what.find("UTF-8") != std::string::npos)
            what = "invalid UTF-8 (a fabric file is UTF-8 text): " + what;
        error =
            name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": malformed JSON: " + printable(what);
        return std::nullopt;
    } catch (const json::exception &e) {
        // A number beyond every numeric type: the parser names the text but
        // not its place, so the place is that of the text's first occurrence.
        std::string what = e.what();
        if (const auto pos = what.find("] "); pos != std::string::npos)
            what = what.substr(pos + 2);
        std::string where;
        const auto open = what.find('\'');
        const auto close = open == std::string::npos ? open : what.find('\'', open + 1);
        if (close != std::string::npos && close > open + 1)
            if (const auto at = text.find(what.substr(open + 1, close - open - 1)); at != std::string_view::npos) {
                const auto [line, column] = line_column(text, at + 1);
                where = ":" + std::to_string(line) + ":" + std::to_string(column);
            }
        error = name + where + ": malformed JSON: " + printable(what);
        return std::nullopt;
    } catch (const std::bad_alloc &) {
        error = name + ": out of memory";
        return std::nullopt;
    }
    try {
        if (!root.is_object())
            throw Refusal{"", "a fabric file must hold one JSON object"};
        Fabric f;
        std::unordered_map<uint32_t, size_t> index;
        parse_devices(root, f, index);
        parse_zones(root, f, index);
        parse_switch(root, f);
        return f;
    } catch (const Refusal &r) {
        error = name + ": " + (r.where.empty() ? "/" : r.where) + ": " + r.why;
    } catch (const json::exception &e) {
        error = name + ": " + e.what();
    } catch (const std::bad_alloc &) {
        error = name + ": out of memory";
    }
    return std::nullopt;
}

std::optional<Fabric> read_fabric_file(const std::string &path, std::string &error)
{
    // Not blocking on open: a FIFO without a writer would wait forever.  Only
    // a regular file is read, whole, once.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": cannot open: " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    std::string text;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool ok = regular;
    if (regular) {
        char buf[65536];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                ok = false;
                break;
            }
            text.append(buf, static_cast<size_t>(n));
        }
    }
    const int saved = errno;
    ::close(fd);
    if (!regular) {
        error = path + ": not a regular file (a FIFO, device or directory cannot be loaded)";
        return std::nullopt;
    }
    if (!ok) {
        error = path + ": read failed: " + std::strerror(saved);
        return std::nullopt;
    }
    return parse_fabric(text, path, error);
}

bool parse_extra(std::string_view hex, uint8_t (&extra)[16])
{
    if (hex.size() > 2 * sizeof extra || hex.size() % 2 != 0)
        return false;
    uint8_t out[16] = {};
    for (size_t i = 0; i < hex.size(); i += 2) {
        const auto byte = parse_number("0x" + std::string(hex.substr(i, 2)));
        if (!byte)
            return false;
        out[i / 2] = static_cast<uint8_t>(*byte);
    }
    std::memcpy(extra, out, sizeof out);
    return true;
}

std::string extra_hex(const uint8_t (&extra)[16])
{
    size_t used = sizeof extra;
    while (used > 0 && extra[used - 1] == 0)
        --used;
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < used; ++i) {
        out += digits[extra[i] >> 4];
        out += digits[extra[i] & 0xF];
    }
    return out;
}

std::string fabric_to_json(const Fabric &f)
{
    std::string out = "{\n  \"switch\": {\"domain\": " + std::to_string(f.domain) + "},\n  \"devices\": [\n";
    for (size_t i = 0; i < f.devices.size(); ++i) {
        const DevInfo &d = f.devices[i];
        out += "    {\"pid\": \"" + pid_hex(d.pid) + "\", \"ind\": " + std::to_string(d.ind) +
               ", \"spd\": " + std::to_string(d.spd) + ", \"flags\": " + std::to_string(d.devflags);
        if (const std::string extra = extra_hex(d.dev_extra); !extra.empty())
            out += ", \"extra\": \"" + extra + "\"";
        out += i + 1 < f.devices.size() ? "},\n" : "}\n";
    }
    out += "  ],\n  \"zones\": [\n";
    for (size_t i = 0; i < f.zones.size(); ++i) {
        const Zone &z = f.zones[i];
        out += "    {\"name\": " + json(z.name).dump() + ", \"members\": [";
        for (size_t m = 0; m < z.members.size(); ++m)
            out += (m ? ", \"" : "\"") + pid_hex(z.members[m]) + "\"";
        out += i + 1 < f.zones.size() ? "]},\n" : "]}\n";
    }
    out += "  ]\n}\n";
    return out;
}

std::vector<std::vector<uint32_t>> zone_destinations(const Fabric &f)
{
    std::unordered_map<uint32_t, uint32_t> index;
    index.reserve(f.devices.size());
    for (uint32_t i = 0; i < f.devices.size(); ++i)
        index.emplace(f.devices[i].pid, i);

    std::vector<std::vector<uint32_t>> dest(f.devices.size());
    // stamp[j] == owner + 1 while j is already listed for `owner`.
    std::vector<uint32_t> stamp(f.devices.size(), 0);
    std::vector<uint32_t> members;
    for (const Zone &z : f.zones) {
        members.clear();
        for (const uint32_t pid : z.members)
            if (const auto it = index.find(pid); it != index.end())
                members.push_back(it->second);
        for (const uint32_t owner : members)
            for (const uint32_t peer : members)
                if (peer != owner)
                    dest[owner].push_back(peer);
    }
    for (uint32_t owner = 0; owner < dest.size(); ++owner) {
        auto &list = dest[owner];
        size_t kept = 0;
        for (const uint32_t peer : list)
            if (stamp[peer] != owner + 1) {
                stamp[peer] = owner + 1;
                list[kept++] = peer;
            }
        list.resize(kept);
    }
    return dest;
}

void free_bulk_list(bulkconpld *list)
{
    if (list == nullptr)
        return;
    for (int32_t i = 0; list->devices != nullptr && i < list->num_devices; ++i)
        std::free(list->devices[i].dst_devices);
    std::free(list->devices);
    std::free(list);
}

void BulkListDeleter::operator()(bulkconpld *list) const { free_bulk_list(list); }

BulkList make_bulk_list(const Fabric &f, int32_t update_type)
{
    BulkList list(static_cast<bulkconpld *>(std::calloc(1, sizeof(bulkconpld))));
    if (!list)
        return list;
    const auto dest = zone_destinations(f);
    if (!f.devices.empty()) {
        list->devices = static_cast<devconpld *>(std::calloc(f.devices.size(), sizeof(devconpld)));
        if (list->devices == nullptr)
            return BulkList{};
    }
    // num_devices grows with the records filled, so the deleter releases
    // exactly what was allocated.
    for (size_t i = 0; i < f.devices.size(); ++i) {
        devconpld &rec = list->devices[i];
        rec.update_type = update_type;
        rec.src_dev = f.devices[i];
        if (!dest[i].empty()) {
            rec.dst_devices = static_cast<DevInfo *>(std::malloc(dest[i].size() * sizeof(DevInfo)));
            if (rec.dst_devices == nullptr)
                return BulkList{};
            for (size_t k = 0; k < dest[i].size(); ++k)
                rec.dst_devices[k] = f.devices[dest[i][k]];
            rec.num_dstdevices = static_cast<int32_t>(dest[i].size());
        }
        list->num_devices = static_cast<int32_t>(i + 1);
    }
    return list;
}

int32_t load_fabric(const Fabric &f, uint32_t update_type, uint32_t queue)
{
    BulkList list = make_bulk_list(f, static_cast<int32_t>(update_type));
    if (!list)
        return VOREL_E_NOMEM;
    const int32_t rc = addPidListToVorel(list.get(), update_type, queue);
    // A queued list belongs to the queue's consumer once posted (or was
    // released by the library when the post failed); a refused one is ours.
    if (queue != 0 && rc == 0)
        (void)list.release();
    return rc;
}

} // namespace vorel::tool
