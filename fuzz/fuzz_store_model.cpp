// fuzz_store_model - sequences of insertions, removals, initial loads, domain
// removals and lookups run on a fresh segment and on the plain model of
// tests/support/store_model.h side by side; after every step the whole store
// (counts, every block slot by slot, lookups, removal messages) must match.
// The first byte chooses "fabric" sequences (links from an undirected graph;
// the store must stay symmetric) or "wild" ones (duplicate and self links,
// destinations never stored).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_map>
#include <vector>

#include "fuzz_common.h"
#include "lock.h"
#include "store_model.h"
#include "vorel_db.h"

namespace {
constexpr int kInstance = 122;
constexpr uint32_t kCrowded = 300; // PIDs of domain 1: more than one DomDb block holds

constexpr uint32_t pid_of(uint32_t dom, uint32_t area, uint32_t port) { return dom << 16 | area << 8 | port; }

// PIDs: a few domains colliding in area and port, bits above 23, and the crowded domain 1.
struct Pool {
    std::vector<uint32_t> mixed;
    std::vector<uint32_t> crowded;
    std::vector<uint32_t> never_stored; // domain byte 0: never a source
    std::set<uint32_t> domains;

    Pool()
    {
        for (const uint32_t dom : {2u, 7u, 255u})
            for (uint32_t i = 0; i < 12; ++i)
                mixed.push_back(pid_of(dom, i / 4, i % 4));
        for (uint32_t i = 0; i < 6; ++i)
            mixed.push_back(0x5A000000u | pid_of(2, 0, i)); // same low 24 bits as PIDs of domain 2
        for (uint32_t i = 0; i < 6; ++i)
            mixed.push_back(pid_of(1, 0, i)); // also the first PIDs of the crowded domain
        for (uint32_t i = 0; i < kCrowded; ++i)
            crowded.push_back(pid_of(1, i / 64, i % 64));
        never_stored = {0x000001u, 0x0000FFu, 0x00FF00u};
        for (const uint32_t p : mixed)
            domains.insert(domain_of(p));
        domains.insert(1);
    }
    static uint32_t domain_of(uint32_t p) { return vmodel::domain_of(p); }
};

const Pool &pool()
{
    static const Pool p;
    return p;
}

// Every field derives from the PID and a salt: a wrong or partial copy shows.
DevInfo dev_of(uint32_t pid, uint32_t salt)
{
    DevInfo d{};
    const uint32_t mix = (pid * 2654435761u) ^ (salt * 40503u + 0x9E37u);
    d.pid = pid;
    d.ind = static_cast<int16_t>(mix & 0x7FFF);
    d.spd = static_cast<uint16_t>(mix >> 16);
    d.devflags = mix ^ 0xA5A50000u;
    for (int i = 0; i < 16; ++i)
        d.dev_extra[i] = static_cast<uint8_t>((mix >> (i % 4 * 8)) + i);
    return d;
}

bool same(const DevInfo &a, const DevInfo &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// An empty payload's destinations: NULL, or a pointer that must never be read.
DevInfo *empty_list(bool null)
{
    static DevInfo unused;
    return null ? nullptr : &unused;
}

using vfuzz::context;

// An empty store for every input: the segment is made anew.
void fresh_store()
{
    if (!vfuzz::start_library(kInstance)) {
        detachVorelSrvr();
        vfuzz::remove_segment();
    }
    VFUZZ_CHECK(initVorelSrvr() == 0, "initVorelSrvr failed");
}

int32_t store_insert(devconpld *pld, uint32_t sync)
{
    vorel::WriteLock lock(context()->rwlock);
    return con_addpidtodb(pld, sync);
}

std::optional<std::vector<uint32_t>> store_remove(uint32_t pid)
{
    disconnMsg *msg = nullptr;
    {
        vorel::WriteLock lock(context()->rwlock);
        msg = con_delpidfromdb(pid, 1);
    }
    if (msg == nullptr)
        return std::nullopt;
    VFUZZ_CHECK(msg->num_disconn >= 0, "removal of %x: %d destinations", pid, msg->num_disconn);
    std::vector<uint32_t> out{msg->pid, static_cast<uint32_t>(msg->num_disconn)};
    out.insert(out.end(), msg->disconn_pids, msg->disconn_pids + msg->num_disconn);
    std::free(msg);
    return out;
}

gadd_t first_block(uint32_t dom)
{
    gadd_t g = 0;
    VFUZZ_CHECK(get_basic_block(context()->shm_handle, dom, &g) == 0, "basic block %u unreadable", dom);
    return g;
}

// The comparisons are left out of the coverage that guides the fuzzer.
#if defined(__clang__)
#define VFUZZ_CHECKER __attribute__((no_sanitize("coverage")))
#else
#define VFUZZ_CHECKER
#endif

// A domain's DomDb blocks slot by slot; each PID's chain head goes to `heads`.
VFUZZ_CHECKER void check_domain(const vmodel::StoreModel &m, uint32_t dom, std::unordered_map<uint32_t, gadd_t> &heads)
{
    const auto it = m.domains.find(dom);
    const size_t want_blocks = it == m.domains.end() ? 0 : it->second.size();
    size_t b = 0;
    const int rc = vorel::walk_chain<DomDb>(first_block(dom), [&](const DomDb &blk, gadd_t) {
        VFUZZ_CHECK(b < want_blocks, "domain %u has more than %zu DomDb blocks", dom, want_blocks);
        const std::vector<uint32_t> &want = it->second[b];
        VFUZZ_CHECK(blk.domain == dom, "domain %u block %zu says domain %u", dom, b, blk.domain);
        VFUZZ_CHECK(blk.num_pids == want.size(), "domain %u block %zu: %u PIDs, model %zu", dom, b, blk.num_pids,
                    want.size());
        for (uint32_t s = 0; s < blk.num_pids; ++s) {
            VFUZZ_CHECK(blk.pid_tbl[s].pid == want[s], "domain %u block %zu slot %u: %x, model %x", dom, b, s,
                        blk.pid_tbl[s].pid, want[s]);
            VFUZZ_CHECK(blk.pid_tbl[s].gadd != 0, "domain %u block %zu slot %u without a chain", dom, b, s);
            heads[blk.pid_tbl[s].pid] = blk.pid_tbl[s].gadd;
        }
        ++b;
        return vorel::Walk::Next;
    });
    VFUZZ_CHECK(rc == 0, "domain %u chain unreadable (%d)", dom, rc);
    VFUZZ_CHECK(b == want_blocks, "domain %u has %zu DomDb blocks, model %zu", dom, b, want_blocks);
}

// A device's chain, block by block, against the model.
VFUZZ_CHECKER void check_chain(uint32_t pid, const vmodel::MDevice &dev, gadd_t head)
{
    size_t b = 0;
    const int rc = vorel::walk_chain<DestDb>(head, [&](const DestDb &blk, gadd_t) {
        VFUZZ_CHECK(b < dev.blocks.size(), "%x has more than %zu DestDb blocks", pid, dev.blocks.size());
        const vmodel::MBlock &want = dev.blocks[b];
        if (b == 0)
            VFUZZ_CHECK(blk.num_dstdevices == dev.count(), "%x head count %d, model %d", pid, blk.num_dstdevices,
                        dev.count());
        VFUZZ_CHECK(same(blk.src_dev, want.src), "%x block %zu: wrong src_dev", pid, b);
        VFUZZ_CHECK(blk.blk_num_dest == static_cast<int32_t>(want.slots.size()), "%x block %zu: %d slots, model %zu",
                    pid, b, blk.blk_num_dest, want.slots.size());
        for (size_t s = 0; s < want.slots.size(); ++s)
            VFUZZ_CHECK(same(blk.dest_dev[s], want.slots[s]), "%x block %zu slot %zu: %x, model %x", pid, b, s,
                        blk.dest_dev[s].pid, want.slots[s].pid);
        ++b;
        return vorel::Walk::Next;
    });
    VFUZZ_CHECK(rc == 0, "%x chain unreadable (%d)", pid, rc);
    VFUZZ_CHECK(b == dev.blocks.size(), "%x has %zu DestDb blocks, model %zu", pid, b, dev.blocks.size());
}

// The lookup of a stored device against the model.
VFUZZ_CHECKER void check_lookup(uint32_t pid, const vmodel::MDevice &dev)
{
    devconpld *pld = nullptr;
    VFUZZ_CHECK(getPidFromVorel(pid, &pld) == 0, "lookup of %x failed", pid);
    const std::vector<DevInfo> flat = dev.flat();
    VFUZZ_CHECK(pld->num_dstdevices == static_cast<int32_t>(flat.size()), "lookup of %x: %d destinations, model %zu",
                pid, pld->num_dstdevices, flat.size());
    VFUZZ_CHECK(same(pld->src_dev, dev.blocks.front().src), "lookup of %x: wrong src_dev", pid);
    VFUZZ_CHECK(pld->update_type == 0 && pld->tlv_len == 0, "lookup of %x: header not cleared", pid);
    VFUZZ_CHECK(reinterpret_cast<char *>(pld->dst_devices) == reinterpret_cast<char *>(pld + 1),
                "lookup of %x: destinations outside the block", pid);
    for (size_t i = 0; i < flat.size(); ++i)
        VFUZZ_CHECK(same(pld->dst_devices[i], flat[i]), "lookup of %x: destination %zu differs", pid, i);
    std::free(pld);
}

VFUZZ_CHECKER void check_absent(uint32_t pid)
{
    static devconpld untouched;
    devconpld *pld = &untouched;
    const int32_t rc = getPidFromVorel(pid, &pld);
    VFUZZ_CHECK(rc == -1, "lookup of absent %x gave %d", pid, rc);
    VFUZZ_CHECK(pld == &untouched, "a failed lookup of %x wrote its result", pid);
}

// Every domain block and chain, and the lookups of the mixed set (the crowded
// domain's by the sequence's own lookups, keeping a step's cost linear).
VFUZZ_CHECKER void check_all(const vmodel::StoreModel &m)
{
    VorelHdr *hdr = getVorelHdr();
    VFUZZ_CHECK(hdr != nullptr, "no header");
    VFUZZ_CHECK(hdr->total_pids == m.total, "total_pids %u, model %u", hdr->total_pids, m.total);
    uint32_t count = 0;
    VFUZZ_CHECK(getCountFromVorel(&count) == 0 && count == m.total, "count %u, model %u", count, m.total);
    std::unordered_map<uint32_t, gadd_t> heads;
    heads.reserve(m.devices.size());
    for (const uint32_t dom : pool().domains)
        check_domain(m, dom, heads);
    VFUZZ_CHECK(heads.size() == m.devices.size(), "%zu PIDs filed, model %zu", heads.size(), m.devices.size());
    for (const auto &[pid, dev] : m.devices) {
        const auto head = heads.find(pid);
        VFUZZ_CHECK(head != heads.end(), "%x is not filed", pid);
        check_chain(pid, dev, head->second);
    }
    for (const uint32_t p : pool().mixed) {
        if (const auto it = m.devices.find(p); it != m.devices.end())
            check_lookup(p, it->second);
        else
            check_absent(p);
    }
}

// Stored devices list each other, once each, exactly when the graph links them.
using Graph = std::map<uint32_t, std::set<uint32_t>>;

VFUZZ_CHECKER void check_symmetry(const vmodel::StoreModel &m, const Graph &g)
{
    for (const auto &[s, dev] : m.devices) {
        std::multiset<uint32_t> listed;
        for (const DevInfo &d : dev.flat())
            if (m.has(d.pid))
                listed.insert(d.pid);
        std::multiset<uint32_t> want;
        if (const auto it = g.find(s); it != g.end())
            for (const uint32_t d : it->second)
                if (m.has(d))
                    want.insert(d);
        VFUZZ_CHECK(listed == want, "%x lists %zu stored peers, the fabric links it to %zu", s, listed.size(),
                    want.size());
    }
}

class Sequence {
  public:
    Sequence(FuzzedDataProvider &in, bool fabric) : in_(in), fabric_(fabric) {}

    void step()
    {
        // Filling the crowded domain makes later steps dearer: the rarest step.
        const int op = in_.ConsumeIntegralInRange<int>(0, 31);
        if (op < 9)
            insert(source(), false);
        else if (op < 15)
            remove(source());
        else if (op < 20)
            load(source());
        else if (op < 22)
            remove_domain();
        else if (op < 26)
            lookup();
        else if (op < 31)
            insert(source(), true);
        else
            fill();
        check_all(model_);
        if (fabric_)
            check_symmetry(model_, graph_);
    }

  private:
    uint32_t source()
    {
        const Pool &p = pool();
        if (in_.ConsumeIntegralInRange<int>(0, 7) != 0)
            return p.mixed[in_.ConsumeIntegralInRange<size_t>(0, p.mixed.size() - 1)];
        return p.crowded[in_.ConsumeIntegralInRange<size_t>(0, p.crowded.size() - 1)];
    }

    uint32_t any_destination()
    {
        const Pool &p = pool();
        switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
            return p.never_stored[in_.ConsumeIntegralInRange<size_t>(0, p.never_stored.size() - 1)];
        case 1:
        case 2:
            return p.crowded[in_.ConsumeIntegralInRange<size_t>(0, p.crowded.size() - 1)];
        default:
            return p.mixed[in_.ConsumeIntegralInRange<size_t>(0, p.mixed.size() - 1)];
        }
    }

    // One by one (duplicates and self links), or a long run of the crowded domain.
    std::vector<DevInfo> wild_destinations(uint32_t src, bool long_list)
    {
        std::vector<DevInfo> out;
        if (long_list) {
            const Pool &p = pool();
            const size_t n = in_.ConsumeIntegralInRange<size_t>(60, 140);
            const size_t start = in_.ConsumeIntegralInRange<size_t>(0, p.crowded.size() - 1);
            const uint32_t salt = in_.ConsumeIntegral<uint8_t>();
            for (size_t i = 0; i < n; ++i)
                out.push_back(dev_of(p.crowded[(start + i) % p.crowded.size()], salt));
            return out;
        }
        const size_t n = in_.ConsumeIntegralInRange<size_t>(0, 8);
        for (size_t i = 0; i < n; ++i) {
            uint32_t d = any_destination();
            const int twist = in_.ConsumeIntegralInRange<int>(0, 15);
            if (twist == 0)
                d = src;
            else if (twist == 1 && !out.empty())
                d = out[in_.ConsumeIntegralInRange<size_t>(0, out.size() - 1)].pid;
            out.push_back(dev_of(d, in_.ConsumeIntegralInRange<uint32_t>(0, 3)));
        }
        return out;
    }

    // The device's links, rewired first when asked (old peers lose the link).
    std::vector<DevInfo> fabric_destinations(uint32_t src, bool rewire, bool long_list)
    {
        if (rewire) {
            for (const uint32_t old : graph_[src])
                graph_[old].erase(src);
            graph_[src].clear();
            const size_t n =
                long_list ? in_.ConsumeIntegralInRange<size_t>(60, 140) : in_.ConsumeIntegralInRange<size_t>(0, 8);
            for (size_t i = 0; i < n && in_.remaining_bytes() > 0; ++i) {
                uint32_t d =
                    long_list ? pool().crowded[in_.ConsumeIntegralInRange<size_t>(0, kCrowded - 1)] : any_destination();
                if (d == src || domain_of(d) == 0)
                    continue;
                graph_[src].insert(d);
                graph_[d].insert(src);
            }
        }
        std::vector<DevInfo> out;
        const uint32_t salt = in_.ConsumeIntegral<uint8_t>();
        for (const uint32_t d : graph_[src])
            out.push_back(dev_of(d, salt));
        if (!out.empty())
            std::rotate(out.begin(), out.begin() + in_.ConsumeIntegralInRange<size_t>(0, out.size() - 1), out.end());
        return out;
    }

    static uint32_t domain_of(uint32_t p) { return vmodel::domain_of(p); }

    void put(uint32_t src, const std::vector<DevInfo> &dests, bool sync)
    {
        devconpld pld{};
        pld.update_type = in_.ConsumeIntegralInRange<int32_t>(0, 8);
        pld.src_dev = dev_of(src, in_.ConsumeIntegral<uint8_t>());
        pld.num_dstdevices = static_cast<int32_t>(dests.size());
        pld.dst_devices = dests.empty() ? empty_list(in_.ConsumeBool()) : const_cast<DevInfo *>(dests.data());
        pld.tlv_len = in_.ConsumeIntegral<int32_t>();
        const int32_t rc = store_insert(&pld, sync ? 1 : 0);
        VFUZZ_CHECK(rc == 0, "insertion of %x (sync %d) returned %d", src, sync, rc);
        model_.insert(pld.src_dev, dests, sync);
    }

    void insert(uint32_t src, bool long_list)
    {
        // Only a stored device changes its links; an absent one keeps the fabric's.
        const bool rewire = model_.has(src) && in_.ConsumeBool();
        put(src, fabric_ ? fabric_destinations(src, rewire, long_list) : wild_destinations(src, long_list), true);
    }

    // The initial load: absent PIDs of wild sequences only (peers go out of step).
    void load(uint32_t src)
    {
        if (fabric_ || model_.has(src)) {
            insert(src, false);
            return;
        }
        put(src, wild_destinations(src, false), false);
    }

    void remove(uint32_t pid)
    {
        const auto got = store_remove(pid);
        const auto want = model_.remove(pid, true);
        VFUZZ_CHECK(got.has_value() == want.has_value(), "removal of %x: %s, model %s", pid,
                    got ? "removed" : "nothing", want ? "removed" : "nothing");
        VFUZZ_CHECK(!got || *got == *want, "removal of %x: message differs from the model", pid);
    }

    void remove_domain()
    {
        const std::set<uint32_t> &doms = pool().domains;
        uint32_t dom = 0;
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) {
            dom = in_.ConsumeIntegral<uint16_t>() % 300; // 0 and beyond 255 are refused
        } else {
            auto it = doms.begin();
            std::advance(it, in_.ConsumeIntegralInRange<size_t>(0, doms.size() - 1));
            dom = *it;
        }
        const uint32_t before = getCurrentRevisionNum();
        const int32_t rc = delDomainFromVorel(dom, 0);
        if (dom == 0 || dom > 255) {
            VFUZZ_CHECK(rc == VOREL_E_BADDOMAIN, "removal of domain %u returned %d", dom, rc);
            return;
        }
        VFUZZ_CHECK(rc == 0, "removal of domain %u returned %d", dom, rc);
        const uint32_t messages = model_.remove_domain(dom);
        VFUZZ_CHECK(getCurrentRevisionNum() - before == messages, "removal of domain %u: %u messages, model %u", dom,
                    getCurrentRevisionNum() - before, messages);
    }

    // Any PID at all: stored ones must match, others must be absent.
    void lookup()
    {
        const uint32_t pid = in_.ConsumeBool() ? in_.ConsumeIntegral<uint32_t>() : any_destination();
        const auto it = model_.devices.find(pid);
        if (it == model_.devices.end())
            check_absent(pid);
        else
            check_lookup(pid, it->second);
    }

    // A run of the crowded domain, enough to need a second DomDb block.
    void fill()
    {
        const uint32_t n = in_.ConsumeIntegralInRange<uint32_t>(200, kCrowded);
        const uint32_t salt = in_.ConsumeIntegral<uint8_t>();
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t src = pool().crowded[i];
            if (model_.has(src))
                continue;
            devconpld pld{};
            pld.src_dev = dev_of(src, salt);
            std::vector<DevInfo> dests;
            if (fabric_)
                for (const uint32_t d : graph_[src])
                    dests.push_back(dev_of(d, salt));
            pld.num_dstdevices = static_cast<int32_t>(dests.size());
            pld.dst_devices = dests.empty() ? empty_list(true) : dests.data();
            const uint32_t sync = fabric_ ? 1 : 0;
            VFUZZ_CHECK(store_insert(&pld, sync) == 0, "insertion of %x failed", src);
            model_.insert(pld.src_dev, dests, sync != 0);
        }
    }

    FuzzedDataProvider &in_;
    const bool fabric_;
    vmodel::StoreModel model_;
    Graph graph_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    fresh_store();
    FuzzedDataProvider in(data, size);
    Sequence seq(in, (in.ConsumeIntegral<uint8_t>() & 1) != 0);
    for (int n = 0; n < 32 && in.remaining_bytes() > 0; ++n)
        seq.step();
    return 0;
}
