// verify.cpp - the database verifier.  It reads the segment block by block
// through the platform, never through the library's lookups, so that it
// sees exactly what is stored, including what the lookups would hide.
#include "verify.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "lock.h"
#include "pid.h"
#include "vorel_db.h"

namespace vorel::tool {

const char *kind_name(FindingKind kind)
{
    switch (kind) {
    case FindingKind::Unreadable:
        return "unreadable";
    case FindingKind::BlockReused:
        return "block-reused";
    case FindingKind::DomainField:
        return "domain-field";
    case FindingKind::WrongDomain:
        return "wrong-domain";
    case FindingKind::SlotsOverflow:
        return "slots-overflow";
    case FindingKind::DuplicatePid:
        return "duplicate-pid";
    case FindingKind::NoChain:
        return "no-chain";
    case FindingKind::ChainOwner:
        return "chain-owner";
    case FindingKind::DestCount:
        return "dest-count";
    case FindingKind::TotalPids:
        return "total-pids";
    case FindingKind::PeerAbsent:
        return "peer-absent";
    case FindingKind::OneWay:
        return "one-way";
    case FindingKind::DuplicateDest:
        return "duplicate-dest";
    }
    return "unknown";
}

size_t VerifyReport::violations() const
{
    return static_cast<size_t>(std::count_if(findings.begin(), findings.end(),
                                             [](const Finding &f) { return f.severity == Severity::Violation; }));
}

size_t VerifyReport::warnings() const { return findings.size() - violations(); }

bool VerifyReport::passed(bool strict) const
{
    return status == 0 && violations() == 0 && (!strict || warnings() == 0);
}

namespace {

std::string hex32(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(v));
    return buf;
}

std::string domain_block(uint32_t domain, uint32_t index, gadd_t gadd)
{
    return "domain " + std::to_string(domain) + " chain, block " + std::to_string(index) + " (gadd " + hex32(gadd) +
           ")";
}

std::string dest_block(uint32_t pid, uint32_t index, gadd_t gadd)
{
    return "chain of " + pid_hex(pid) + ", block " + std::to_string(index) + " (gadd " + hex32(gadd) + ")";
}

// One walk of the segment; the findings go into the report.
class Walker {
  public:
    Walker(VerifyReport &report, bool keep) : r_(report), keep_(keep) {}

    void run()
    {
        for (uint32_t d = 1; d < kNumBasicBlocks; ++d)
            walk_domain(d);
        check_total();
        check_links();
        if (keep_)
            for (auto &dev : devices_)
                r_.devices.push_back(std::move(dev.stored));
    }

  private:
    struct Device {
        StoredDevice stored;
        std::vector<uint32_t> dest_pids; // sorted after the walk
        std::string place;
    };

    void add(Severity s, FindingKind k, uint32_t pid, uint32_t peer, std::string chain, std::string message)
    {
        r_.findings.push_back(Finding{s, k, pid, peer, std::move(chain), std::move(message)});
    }
    void violation(FindingKind k, uint32_t pid, std::string chain, std::string message)
    {
        add(Severity::Violation, k, pid, 0, std::move(chain), std::move(message));
    }

    // False when the block was seen before (a loop or a shared block).
    bool first_visit(gadd_t g, uint32_t pid, const std::string &chain)
    {
        if (seen_.insert(g).second)
            return true;
        violation(FindingKind::BlockReused, pid, chain, "block " + hex32(g) + " is reached a second time");
        return false;
    }

    void walk_domain(uint32_t d)
    {
        gadd_t first = 0;
        if (const int rc = get_basic_block(shm(), d, &first); rc < 0) {
            violation(FindingKind::Unreadable, 0, "basic block " + std::to_string(d),
                      "basic block cannot be read (rc=" + std::to_string(rc) + ")");
            return;
        }
        if (first == 0)
            return;
        ++r_.domains;
        uint32_t index = 0;
        gadd_t next = first;
        const int rc = walk_chain<DomDb>(first, [&](DomDb &b, gadd_t g) {
            const std::string where = domain_block(d, index, g);
            if (!first_visit(g, 0, where))
                return Walk::Stop;
            ++r_.domdb_blocks;
            next = b.next_gadd;
            check_domdb(d, b, where);
            ++index;
            return Walk::Next;
        });
        if (rc < 0)
            violation(FindingKind::Unreadable, 0, domain_block(d, index, next),
                      "DomDb block cannot be resolved (rc=" + std::to_string(rc) + ")");
    }

    void check_domdb(uint32_t d, const DomDb &b, const std::string &where)
    {
        if (b.domain != d)
            violation(FindingKind::DomainField, 0, where,
                      "block says domain " + std::to_string(b.domain) + " in the chain of domain " + std::to_string(d));
        uint32_t used = b.num_pids;
        if (used > kPidsPerDomDb) {
            violation(FindingKind::SlotsOverflow, 0, where,
                      "num_pids " + std::to_string(used) + " exceeds " + std::to_string(kPidsPerDomDb));
            used = kPidsPerDomDb;
        }
        for (uint32_t s = 0; s < used; ++s)
            check_entry(d, b.pid_tbl[s], where + ", slot " + std::to_string(s));
    }

    void check_entry(uint32_t d, const DomDbEntry &e, const std::string &where)
    {
        ++r_.stored_pids;
        if (domain_of(e.pid) != d)
            violation(FindingKind::WrongDomain, e.pid, where,
                      "PID " + pid_hex(e.pid) + " is filed under domain " + std::to_string(d));
        if (const auto it = index_.find(e.pid); it != index_.end()) {
            violation(FindingKind::DuplicatePid, e.pid, where,
                      "PID " + pid_hex(e.pid) + " is stored twice (also at " + devices_[it->second].place + ")");
            return;
        }
        if (e.gadd == 0) {
            violation(FindingKind::NoChain, e.pid, where, "PID " + pid_hex(e.pid) + " has no destination chain");
            return;
        }
        index_.emplace(e.pid, devices_.size());
        devices_.push_back(Device{});
        Device &dev = devices_.back();
        dev.stored.pid = e.pid;
        dev.place = where;
        walk_dest_chain(dev, e.gadd);
    }

    void walk_dest_chain(Device &dev, gadd_t head)
    {
        const uint32_t pid = dev.stored.pid;
        uint32_t index = 0;
        int64_t sum = 0;
        int32_t declared = 0;
        gadd_t next = head;
        const int rc = walk_chain<DestDb>(head, [&](DestDb &b, gadd_t g) {
            const std::string where = dest_block(pid, index, g);
            if (!first_visit(g, pid, where))
                return Walk::Stop;
            ++r_.destdb_blocks;
            next = b.next_gadd;
            if (index == 0) {
                declared = b.num_dstdevices;
                dev.stored.info = b.src_dev;
            }
            if (b.src_dev.pid != pid)
                violation(FindingKind::ChainOwner, pid, where, "block belongs to " + pid_hex(b.src_dev.pid));
            int32_t used = b.blk_num_dest;
            if (used < 0 || used > static_cast<int32_t>(kDestsPerDestDb)) {
                violation(FindingKind::SlotsOverflow, pid, where,
                          "blk_num_dest " + std::to_string(used) + " outside 0.." + std::to_string(kDestsPerDestDb));
                used = std::clamp<int32_t>(used, 0, kDestsPerDestDb);
            }
            sum += b.blk_num_dest;
            for (int32_t s = 0; s < used; ++s) {
                dev.dest_pids.push_back(b.dest_dev[s].pid);
                if (keep_)
                    dev.stored.dests.push_back(b.dest_dev[s]);
            }
            ++index;
            return Walk::Next;
        });
        if (rc < 0)
            violation(FindingKind::Unreadable, pid, dest_block(pid, index, next),
                      "DestDb block cannot be resolved (rc=" + std::to_string(rc) + ")");
        if (index > 0 && sum != declared)
            violation(FindingKind::DestCount, pid, dest_block(pid, 0, head),
                      "num_dstdevices " + std::to_string(declared) + " but the chain's blocks hold " +
                          std::to_string(sum));
        r_.links += dev.dest_pids.size();
    }

    void check_total()
    {
        if (r_.total_pids != r_.stored_pids)
            violation(FindingKind::TotalPids, 0, "header (basic block 0)",
                      "total_pids " + std::to_string(r_.total_pids) + " but " + std::to_string(r_.stored_pids) +
                          " PIDs are stored");
    }

    void check_links()
    {
        for (Device &dev : devices_)
            std::sort(dev.dest_pids.begin(), dev.dest_pids.end());
        for (const Device &dev : devices_) {
            const uint32_t pid = dev.stored.pid;
            const std::string chain = "chain of " + pid_hex(pid);
            for (size_t k = 0; k < dev.dest_pids.size(); ++k) {
                const uint32_t peer = dev.dest_pids[k];
                if (k > 0 && dev.dest_pids[k - 1] == peer) {
                    if (k < 2 || dev.dest_pids[k - 2] != peer)
                        add(Severity::Warning, FindingKind::DuplicateDest, pid, peer, chain,
                            pid_hex(pid) + " lists " + pid_hex(peer) + " more than once");
                    continue;
                }
                if (peer == pid)
                    continue;
                const auto it = index_.find(peer);
                if (it == index_.end()) {
                    add(Severity::Warning, FindingKind::PeerAbsent, pid, peer, chain,
                        pid_hex(pid) + " lists " + pid_hex(peer) + ", which is not stored");
                    continue;
                }
                const auto &back = devices_[it->second].dest_pids;
                if (!std::binary_search(back.begin(), back.end(), pid))
                    add(Severity::Warning, FindingKind::OneWay, pid, peer, chain,
                        pid_hex(pid) + " lists " + pid_hex(peer) + ", which does not list it back");
            }
        }
    }

    VerifyReport &r_;
    bool keep_;
    std::vector<Device> devices_;
    std::unordered_map<uint32_t, size_t> index_;
    std::unordered_set<gadd_t> seen_;
};

} // namespace

VerifyReport verify_store(bool keep_devices)
{
    VerifyReport report;
    VorelPartCtx *c = ctx();
    if (c == nullptr) {
        report.status = VOREL_E_UNINIT;
        return report;
    }
    ReadLock lock(c->rwlock);
    if (c->initialized <= 0) {
        report.status = VOREL_E_UNINIT;
        return report;
    }
    gadd_t hdr_gadd = 0;
    VorelHdr *hdr = nullptr;
    if (get_basic_block(shm(), 0, &hdr_gadd) < 0 || resolve(hdr_gadd, &hdr) < 0 || hdr == nullptr) {
        report.status = VOREL_E_NOHDR;
        return report;
    }
    report.total_pids = hdr->total_pids;
    report.sync_done = hdr->sync_done;
    Walker(report, keep_devices).run();
    return report;
}

} // namespace vorel::tool
