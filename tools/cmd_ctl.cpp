// cmd_ctl.cpp - commands that change a switch instance's database through
// its server's control service, and the fabric generator.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "commands.h"
#include "control.h"
#include "fabric.h"
#include "pid.h"
#include "tool.h"
#include "vorel.hpp"

namespace vorel::tool {

using nlohmann::json;

namespace {

json common(bool queued, uint32_t type)
{
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

int cmd_load(const std::string &file, uint32_t type, bool queued, bool as_json)
{
    // The server reads the file itself; reading it here first gives a bad
    // file's error with its position, without a server round trip.
    std::string error;
    const auto fabric = read_fabric_file(file, error);
    if (!fabric)
        throw Failure(kExitInput, error);
    std::error_code ec;
    const std::string path = std::filesystem::absolute(file, ec).string();
    json body = common(queued, type);
    body["path"] = ec ? file : path;
    return change(control::CTL_LOAD_FILE, body, "load " + file,
                  "loaded " + std::to_string(fabric->devices.size()) + " devices and " +
                      std::to_string(fabric->zones.size()) + " zones from " + file,
                  as_json, 0);
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
