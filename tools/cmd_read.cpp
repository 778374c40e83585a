// cmd_read.cpp - commands that read a switch instance's database in place:
// count, show, dump, list, local, stats, check and dot; and enable/disable.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>

#include "commands.h"
#include "control.h"
#include "dot.h"
#include "fabric.h"
#include "pid.h"
#include "tool.h"
#include "verify.h"
#include "vorel.hpp"

namespace vorel::tool {

using nlohmann::json;

namespace {

json device_json(const DevInfo &d)
{
    json j{{"pid", pid_hex(d.pid)}, {"ind", d.ind}, {"spd", d.spd}, {"flags", d.devflags}};
    if (const std::string extra = extra_hex(d.dev_extra); !extra.empty())
        j["extra"] = extra;
    return j;
}

std::string device_text(const DevInfo &d)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s  ind %d  spd %uG  flags 0x%x", pid_hex(d.pid).c_str(), d.ind,
                  static_cast<unsigned>(d.spd), static_cast<unsigned>(d.devflags));
    std::string out = buf;
    if (const std::string extra = extra_hex(d.dev_extra); !extra.empty())
        out += "  extra " + extra;
    return out;
}

json payload_json(const devconpld &p)
{
    json j = device_json(p.src_dev);
    json dests = json::array();
    for (int32_t i = 0; i < p.num_dstdevices; ++i)
        dests.push_back(device_json(p.dst_devices[i]));
    j["destinations"] = std::move(dests);
    return j;
}

void print_payload(const devconpld &p)
{
    std::printf("%s\n  destinations: %d\n", device_text(p.src_dev).c_str(), p.num_dstdevices);
    for (int32_t i = 0; i < p.num_dstdevices; ++i)
        std::printf("    %s\n", device_text(p.dst_devices[i]).c_str());
}

void print_json(const json &j) { std::printf("%s\n", j.dump().c_str()); }

std::string instance_text() { return "switch instance " + std::to_string(getMySwitch()); }

// Writes everything of `f` from its start to stdout.
void copy_to_stdout(std::FILE *f)
{
    std::rewind(f);
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        if (std::fwrite(buf, 1, n, stdout) != n)
            break;
}

// Domains that hold devices in the store, of which none was enumerated: the
// enumeration walks only the domains of the fabric view.
std::vector<uint32_t> domains_not_listed(const std::vector<bool> &listed)
{
    std::vector<uint32_t> out;
    const VorelPartCtx *c = part_vorel_glbl_array[getMySwitch()];
    vorel::ReadLock lock;
    for (uint32_t d = 1; d < 256; ++d) {
        gadd_t g = 0;
        if (!listed[d] && get_basic_block(c->shm_handle, d, &g) >= 0 && g != 0)
            out.push_back(d);
    }
    return out;
}

} // namespace

int cmd_enable()
{
    LibraryScope lib;
    const int32_t rc = enableVorel(0);
    if (rc != 0)
        throw Failure(kExitServer, "enable: " + instance_text() + ": " + ipc_text(rc));
    std::printf("database of %s enabled\n", instance_text().c_str());
    return kExitOk;
}

int cmd_disable()
{
    LibraryScope lib;
    const int32_t rc = disableVorel();
    if (rc != 0)
        throw Failure(kExitServer, "disable: " + instance_text() + ": " + ipc_text(rc));
    std::printf("server of %s detached from its database\n", instance_text().c_str());
    return kExitOk;
}

int cmd_count(bool as_json)
{
    Reader reader;
    uint32_t n = 0;
    if (const int32_t rc = getCountFromVorel(&n); rc != 0)
        throw Failure(kExitDatabase, "count: " + status_text(rc));
    if (as_json)
        print_json({{"switch", getMySwitch()}, {"count", n}});
    else
        std::printf("%u\n", static_cast<unsigned>(n));
    return kExitOk;
}

int cmd_show(uint32_t pid, bool as_json)
{
    Reader reader;
    int32_t rc = 0;
    std::optional<Payload> p;
    {
        vorel::ReadLock lock;
        p = vorel::lookup(pid, &rc);
    }
    if (!p)
        throw Failure(kExitDatabase, rc == VOREL_E_FAIL ? "PID " + pid_hex(pid) + " is not stored in " + instance_text()
                                                        : "show " + pid_hex(pid) + ": " + status_text(rc));
    if (as_json)
        print_json(payload_json(*p->get()));
    else
        print_payload(*p->get());
    return kExitOk;
}

int cmd_dump()
{
    Reader reader;
    // The library prints to standard output; under the lock that goes to a
    // temporary file, which is copied out once the lock is released, so a
    // slow reader of our output never holds up anyone else.
    std::FILE *tmp = std::tmpfile();
    if (tmp == nullptr)
        throw Failure(kExitDatabase, "dump: cannot create a temporary file");
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    if (saved < 0 || dup2(fileno(tmp), STDOUT_FILENO) < 0) {
        std::fclose(tmp);
        throw Failure(kExitDatabase, "dump: cannot redirect the output");
    }
    {
        vorel::ReadLock lock;
        printEachPidFromVorel();
        std::fflush(stdout);
    }
    dup2(saved, STDOUT_FILENO);
    close(saved);
    copy_to_stdout(tmp);
    std::fclose(tmp);
    std::fflush(stdout);
    return kExitOk;
}

int cmd_list(bool as_json)
{
    Reader reader;
    // Copied under the enumeration's read lock, written after it.
    json devices = json::array();
    std::vector<std::string> lines;
    std::vector<bool> listed(256, false);
    const int32_t rc = vorel::for_each_device([&](const devconpld &p) {
        listed[pid_domain(p.src_dev.pid)] = true;
        if (as_json) {
            json dests = json::array();
            for (int32_t i = 0; i < p.num_dstdevices; ++i)
                dests.push_back(pid_hex(p.dst_devices[i].pid));
            devices.push_back({{"pid", pid_hex(p.src_dev.pid)}, {"destinations", std::move(dests)}});
            return;
        }
        std::string line = pid_hex(p.src_dev.pid) + " (" + std::to_string(p.num_dstdevices) + ")";
        for (int32_t i = 0; i < p.num_dstdevices; ++i)
            line += (i == 0 ? ": " : " ") + pid_hex(p.dst_devices[i].pid);
        lines.push_back(std::move(line));
    });
    if (rc != 0)
        throw Failure(kExitDatabase, "list: " + status_text(rc));
    const size_t shown = as_json ? devices.size() : lines.size();
    uint32_t total = 0;
    std::vector<uint32_t> hidden;
    if (getCountFromVorel(&total) == 0 && total != shown)
        hidden = domains_not_listed(listed);
    if (as_json)
        print_json({{"switch", getMySwitch()}, {"devices", std::move(devices)}});
    else
        for (const std::string &line : lines)
            std::printf("%s\n", line.c_str());
    if (!hidden.empty()) {
        std::string doms;
        for (const uint32_t d : hidden)
            doms += (doms.empty() ? "" : ", ") + std::to_string(d);
        std::fflush(stdout);
        std::fprintf(stderr,
                     "vorel list: %zu of %u devices listed; domains outside the fabric view are not "
                     "enumerated: %s\n",
                     shown, static_cast<unsigned>(total), doms.c_str());
    }
    return kExitOk;
}

int cmd_local(bool as_json)
{
    Reader reader;
    devconpld **list = nullptr;
    int32_t n = 0;
    int32_t runs = 0;
    int32_t rc = 0;
    {
        vorel::ReadLock lock;
        rc = getAllLocalPidsFromVorel(&list, &n, &runs);
    }
    if (rc != 0)
        throw Failure(kExitDatabase, "local: " + status_text(rc));
    std::vector<Payload> owned;
    for (int32_t i = 0; i < n; ++i)
        owned.emplace_back(list[i]);
    std::free(list);
    if (as_json) {
        json devices = json::array();
        for (const Payload &p : owned)
            devices.push_back(payload_json(*p.get()));
        print_json({{"switch", getMySwitch()}, {"count", n}, {"ind_runs", runs}, {"devices", std::move(devices)}});
        return kExitOk;
    }
    std::printf("%d local devices (%d runs of index)\n", n, runs);
    for (const Payload &p : owned)
        print_payload(*p.get());
    return kExitOk;
}

int cmd_stats(bool as_json)
{
    Reader reader;
    gshm_stats_t st{};
    const int src = gshm_get_stats(part_vorel_glbl_array[getMySwitch()]->shm_handle, &st);
    uint32_t total = 0;
    const int32_t crc = getCountFromVorel(&total);
    const json server = control_request(control::CTL_STATS, json::object());
    expect_ok(server, "stats");
    if (src < 0)
        throw Failure(kExitDatabase, "segment statistics unavailable (rc=" + std::to_string(src) + ")");
    if (crc != 0)
        throw Failure(kExitDatabase, "count: " + status_text(crc));

    json classes = json::array();
    for (uint32_t i = 0; i < st.num_classes && i < GSHM_MAX_CLASSES; ++i)
        if (st.class_in_use[i] != 0 || st.class_free[i] != 0)
            classes.push_back({{"size", st.class_size[i]}, {"in_use", st.class_in_use[i]}, {"free", st.class_free[i]}});
    if (as_json) {
        json out{{"switch", getMySwitch()},
                 {"segment",
                  {{"bytes_in_use", st.bytes_in_use},
                   {"bytes_mapped", st.bytes_mapped},
                   {"bytes_limit", st.bytes_limit},
                   {"blocks_in_use", st.blocks_in_use},
                   {"classes", classes}}},
                 {"total_pids", total}};
        json srv = server;
        srv.erase("rc");
        out["server"] = srv;
        print_json(out);
        return kExitOk;
    }
    std::printf("%s\n", instance_text().c_str());
    std::printf("segment: %llu bytes in use, %llu mapped, limit %llu\n",
                static_cast<unsigned long long>(st.bytes_in_use), static_cast<unsigned long long>(st.bytes_mapped),
                static_cast<unsigned long long>(st.bytes_limit));
    if (st.bytes_limit != 0)
        std::printf("segment fullness: %.1f%% of the limit in use\n",
                    100.0 * static_cast<double>(st.bytes_in_use) / static_cast<double>(st.bytes_limit));
    std::printf("blocks in use: %u\n", static_cast<unsigned>(st.blocks_in_use));
    for (const json &c : classes)
        std::printf("  size class %6u: %u in use, %u free\n", c["size"].get<unsigned>(), c["in_use"].get<unsigned>(),
                    c["free"].get<unsigned>());
    std::printf("total_pids: %u\n", static_cast<unsigned>(total));
    std::printf("revision: %llu\n", server.value("revision", 0ull));
    if (server.contains("queue_depth"))
        std::printf("queue depth: %llu\n", server.value("queue_depth", 0ull));
    std::string registered;
    if (server.contains("registered") && server["registered"].is_array())
        for (const json &t : server["registered"])
            registered.append(" ").append(std::to_string(t.get<unsigned long long>()));
    std::printf("registered client types:%s\n", registered.empty() ? " none" : registered.c_str());
    if (server.contains("clients") && server["clients"].is_array())
        for (const json &c : server["clients"]) {
            std::printf("  client type %llu: %llu delivered, %llu failed, %llu queued (%llu bytes, oldest %llu ms)",
                        c.value("type", 0ull), c.value("delivered", 0ull), c.value("failed", 0ull),
                        c.value("queued", 0ull), c.value("queued_bytes", 0ull), c.value("oldest_ms", 0ull));
            if (const auto cut = c.value("cutoffs", 0ull); cut != 0)
                std::printf(", cut off %llu time%s", cut, cut == 1 ? "" : "s");
            std::printf("%s\n", c.value("registered", true) ? "" : " (no longer registered)");
        }
    if (server.contains("ipc_limits") && server["ipc_limits"].is_object()) {
        const json &l = server["ipc_limits"];
        std::printf("IPC limits: %llu bytes queued per destination, %llu connections per service, replies read "
                    "within %llu ms\n",
                    l.value("outbuf", 0ull), l.value("max_connections", 0ull), l.value("reply_deadline_ms", 0ull));
    }
    return kExitOk;
}

int cmd_check(const CheckOptions &opt)
{
    Reader reader;
    const VerifyReport r = verify_store();
    if (r.status != 0)
        throw Failure(kExitDatabase, "check: " + status_text(r.status));
    const bool passed = r.passed(opt.strict);
    if (opt.json) {
        json findings = json::array();
        for (const Finding &f : r.findings) {
            json j{{"severity", f.severity == Severity::Violation ? "violation" : "warning"},
                   {"kind", kind_name(f.kind)},
                   {"chain", f.chain},
                   {"message", f.message}};
            if (f.pid != 0)
                j["pid"] = pid_hex(f.pid);
            if (f.peer != 0)
                j["peer"] = pid_hex(f.peer);
            findings.push_back(std::move(j));
        }
        print_json({{"switch", getMySwitch()},
                    {"total_pids", r.total_pids},
                    {"stored_pids", r.stored_pids},
                    {"sync_done", r.sync_done != 0},
                    {"domains", r.domains},
                    {"domdb_blocks", r.domdb_blocks},
                    {"destdb_blocks", r.destdb_blocks},
                    {"links", r.links},
                    {"violations", r.violations()},
                    {"warnings", r.warnings()},
                    {"passed", passed},
                    {"findings", std::move(findings)}});
        return passed ? kExitOk : kExitCheck;
    }
    std::printf("check of %s: %u PIDs in %u domains (%u DomDb blocks, %u DestDb blocks), %llu links, "
                "total_pids %u, %s\n",
                instance_text().c_str(), static_cast<unsigned>(r.stored_pids), static_cast<unsigned>(r.domains),
                static_cast<unsigned>(r.domdb_blocks), static_cast<unsigned>(r.destdb_blocks),
                static_cast<unsigned long long>(r.links), static_cast<unsigned>(r.total_pids),
                r.sync_done ? "sync done" : "initial load not announced");
    std::map<FindingKind, size_t> shown;
    for (const Finding &f : r.findings) {
        if (opt.limit != 0 && shown[f.kind]++ >= opt.limit)
            continue;
        std::printf("%s %s: %s: %s\n", f.severity == Severity::Violation ? "violation" : "warning", kind_name(f.kind),
                    f.chain.c_str(), f.message.c_str());
    }
    for (const auto &[kind, n] : shown)
        if (opt.limit != 0 && n > opt.limit)
            std::printf("... %zu more %s findings (use --limit 0 to see all)\n", n - opt.limit, kind_name(kind));
    std::printf("%zu violations, %zu warnings: %s\n", r.violations(), r.warnings(), passed ? "PASS" : "FAIL");
    return passed ? kExitOk : kExitCheck;
}

int cmd_dot(uint32_t domain, const std::string &output)
{
    Reader reader;
    const VerifyReport r = verify_store(true);
    if (r.status != 0)
        throw Failure(kExitDatabase, "dot: " + status_text(r.status));
    if (output.empty() || output == "-") {
        write_dot(std::cout, r.devices, domain);
        std::cout.flush();
        return kExitOk;
    }
    std::ofstream out(output);
    write_dot(out, r.devices, domain);
    out.close();
    if (!out)
        throw Failure(kExitInput, output + ": cannot write");
    return kExitOk;
}

} // namespace vorel::tool
