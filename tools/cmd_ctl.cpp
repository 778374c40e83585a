// cmd_ctl.cpp - commands that change a switch instance's database through
// its server's control service, and the fabric generator.
#include <cstdio>
#include <fstream>
#include <set>

#include "commands.h"
#include "control.h"
#include "fabric.h"
#include "pid.h"
#include "progress.h"
#include "tool.h"
#include "vorel.hpp"

namespace vorel::tool {

using nlohmann::json;

namespace {

constexpr uint32_t kLastUpdateType = VOREL_UPD_SYNC;
constexpr size_t kChunkBytes = 1 << 20; // request body size a load sends at a time
constexpr size_t kChunkDevices = 4096;  // and devices

void check_type(uint32_t type)
{
    if (type > kLastUpdateType)
        throw Failure(kExitInput, "--type " + std::to_string(type) + " is outside 0..8");
}

json common(bool queued, uint32_t type)
{
    check_type(type);
    json j = json::object();
    j["queued"] = queued;
    j["type"] = type;
    return j;
}

// Sends the request and reports the outcome: the reply itself with --json,
// otherwise `done` (and "(queued)" for a posted change).
int change(uint32_t code, const json &body, const std::string &what, const std::string &done, bool as_json,
           uint32_t timeout_s = 60)
{
    const json reply = control_request(code, body, timeout_s);
    expect_ok(reply, what);
    if (as_json)
        std::printf("%s\n", reply.dump().c_str());
    else if (reply.contains("removed") && !reply.contains("requested"))
        std::printf("%s (%llu devices removed)\n", done.c_str(), reply.value("removed", 0ull));
    else
        std::printf("%s%s\n", done.c_str(), body.value("queued", false) ? " (queued)" : "");
    return kExitOk;
}

json device_json(const DevInfo &d)
{
    json j{{"pid", d.pid}, {"ind", d.ind}, {"spd", d.spd}, {"flags", d.devflags}};
    if (const std::string extra = extra_hex(d.dev_extra); !extra.empty())
        j["extra"] = extra;
    return j;
}

// The destinations as records: a stored device with the record it was
// stored with (index, speed, flags), any other with its PID alone.
json destination_records(const std::vector<uint32_t> &pids)
{
    json out = json::array();
    if (pids.empty())
        return out;
    Reader reader;
    vorel::ReadLock lock;
    for (const uint32_t pid : pids) {
        DevInfo d{};
        d.pid = pid;
        if (const auto stored = vorel::lookup(pid))
            d = stored->device();
        out.push_back(device_json(d));
    }
    return out;
}

} // namespace

int cmd_add(const DeviceOptions &opt, bool as_json)
{
    std::set<uint32_t> seen;
    for (const uint32_t d : opt.dests) {
        if (d == opt.pid)
            throw Failure(kExitInput, "add: " + pid_hex(opt.pid) + " cannot be its own destination");
        if (!seen.insert(d).second)
            throw Failure(kExitInput, "add: destination " + pid_hex(d) + " is given twice");
    }
    uint8_t extra[16] = {};
    if (!parse_extra(opt.extra, extra))
        throw Failure(kExitInput, "--extra: '" + opt.extra + "' is not hex text of at most 16 bytes");
    json dev{{"pid", opt.pid}, {"ind", opt.ind}, {"spd", opt.spd}, {"flags", opt.flags}};
    if (!opt.extra.empty())
        dev["extra"] = opt.extra;
    json body = common(opt.queued, opt.type);
    body["device"] = std::move(dev);
    body["destinations"] = destination_records(opt.dests);
    return change(control::CTL_ADD, body, "add " + pid_hex(opt.pid),
                  "added " + pid_hex(opt.pid) + " with " + std::to_string(opt.dests.size()) +
                      (opt.dests.size() == 1 ? " destination" : " destinations"),
                  as_json);
}

int cmd_del(uint32_t pid, bool queued, bool as_json)
{
    json body{{"pid", pid}, {"queued", queued}};
    return change(control::CTL_DELETE, body, "del " + pid_hex(pid), "deleted " + pid_hex(pid), as_json);
}

int cmd_deldom(uint32_t domain, bool queued, bool as_json)
{
    json body{{"domain", domain}, {"queued", queued}};
    return change(control::CTL_DELETE_DOMAIN, body, "deldom " + std::to_string(domain),
                  "deleted domain " + std::to_string(domain), as_json);
}

namespace {

// The request body of one part of a load: its devices with their records.
json load_chunk(const Fabric &f, const std::vector<std::vector<uint32_t>> &dest, size_t &at, uint32_t type, bool queued)
{
    json body = common(queued, type);
    if (at == 0)
        body["domains"] = f.domains;
    json devices = json::array();
    size_t bytes = 0;
    for (; at < f.devices.size() && devices.size() < kChunkDevices && bytes < kChunkBytes; ++at) {
        json dsts = json::array();
        for (const uint32_t k : dest[at])
            dsts.push_back(device_json(f.devices[k]));
        json e{{"device", device_json(f.devices[at])}, {"destinations", std::move(dsts)}};
        bytes += e.dump().size();
        devices.push_back(std::move(e));
    }
    body["devices"] = std::move(devices);
    return body;
}

} // namespace

int cmd_load(const std::string &file, const LoadOptions &opt, bool as_json)
{
    // The file is read and checked here, never by the server, and sent in
    // parts.  An initial load (type 8) is refused by the server part by part
    // when a PID is stored already or sync done was announced.
    check_type(opt.type);
    std::string error;
    const auto fabric = read_fabric_file(file, error);
    if (!fabric)
        throw Failure(kExitInput, error);
    const auto dest = zone_destinations(*fabric);
    const size_t n = fabric->devices.size();
    uint64_t stored = 0; // reported by the server for direct parts
    size_t posted = 0;   // devices of the parts the server accepted
    json last;
    {
        Progress bar("loading " + file, opt.quiet ? 0 : n);
        size_t at = 0;
        do {
            const json body = load_chunk(*fabric, dest, at, opt.type, opt.queued);
            last = control_request(control::CTL_ADD_LIST, body, 0);
            stored += last.value("stored", uint64_t{0});
            if (last.value("rc", 0) != 0)
                break;
            posted = at;
            bar.update(at);
        } while (at < n);
    }
    const int32_t rc = last.value("rc", 0);
    const std::string counts = opt.queued ? std::to_string(posted) + " of " + std::to_string(n) + " devices posted"
                                          : std::to_string(stored) + " of " + std::to_string(n) + " devices stored";
    if (rc != 0) {
        json failed = last;
        if (rc == control::kErrNotStored || stored > 0 || posted > 0)
            failed["error"] = counts + ": " + last.value("error", std::string());
        expect_ok(failed, "load " + file);
    }
    if (as_json)
        std::printf("%s\n",
                    json{{"rc", 0}, {"requested", n}, {"stored", stored}, {"queued", opt.queued}}.dump().c_str());
    else
        std::printf("loaded %s and %zu zones from %s%s\n", counts.c_str(), fabric->zones.size(), file.c_str(),
                    opt.queued ? " (queued)" : "");
    return kExitOk;
}

int cmd_dellist(const std::vector<uint32_t> &pids, uint32_t type, bool queued, bool as_json)
{
    json body = common(queued, type);
    body["pids"] = pids;
    return change(control::CTL_DELETE_LIST, body, "dellist",
                  "deleted a list of " + std::to_string(pids.size()) + " devices", as_json);
}

int cmd_sync(bool queued, bool as_json)
{
    json body{{"queued", queued}};
    return change(control::CTL_SYNC, body, "sync", "sync done announced", as_json);
}

int cmd_gen(const GenOptions &opt, const std::string &output)
{
    if (const auto why = gen_problem(opt))
        throw Failure(kExitInput, "gen: " + *why);
    const std::string text = fabric_to_json(generate_fabric(opt));
    if (output.empty() || output == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return kExitOk;
    }
    std::ofstream out(output, std::ios::binary);
    out << text;
    out.close();
    if (!out)
        throw Failure(kExitInput, output + ": cannot write");
    return kExitOk;
}

} // namespace vorel::tool
