// Connectivity store: the shapes that domain and destination chains take as
// devices come and go, the reverse links that keep connectivity symmetric,
// the removal's message, what the primitives leave behind when the shared
// memory service fails, and PIDs that have no domain.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "store_fixture.h"

namespace {

using vtest::dev_of;
using vtest::Payload;
using vtest::pids_of;

constexpr uint32_t pid(uint32_t dom, uint32_t area, uint32_t port) { return dom << 16 | area << 8 | port; }

// "%8x" as the trace writes it.
std::string hex8(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%8x", v);
    return buf;
}

// n PIDs of a domain without a block: destinations that are never stored.
std::vector<uint32_t> unstored(uint32_t n, uint32_t first_port = 0)
{
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < n; ++i)
        out.push_back(pid(200, (first_port + i) >> 8, (first_port + i) & 0xFF));
    return out;
}

std::vector<size_t> block_sizes(const vtest::StoredChain &c)
{
    std::vector<size_t> out;
    for (const auto &b : c.blocks)
        out.push_back(b.size());
    return out;
}

class StoreTest : public vtest::StoreFixture {
  protected:
    uint32_t total() { return header()->total_pids; }
    // Inserts a device without destinations.
    void add_plain(uint32_t p)
    {
        Payload pl(p, {});
        ASSERT_EQ(insert(pl), 0);
    }
};

// ---- domain chains ----------------------------------------------------------------

TEST_F(StoreTest, DomainChainGrowsByOneBlockAndRefillsFreedSlotFirst)
{
    std::vector<uint32_t> pids;
    for (uint32_t i = 0; i < 257; ++i) {
        pids.push_back(pid(5, i >> 4, i & 0xF));
        add_plain(pids.back());
    }
    auto chain = domain_chain(5);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(chain[0]->num_pids, 256u);
    EXPECT_EQ(chain[1]->num_pids, 1u);
    EXPECT_EQ(chain[0]->domain, 5u);
    EXPECT_EQ(chain[1]->domain, 5u);
    EXPECT_EQ(chain[1]->next_gadd, 0u);
    EXPECT_EQ(domain_pids(5), pids);
    EXPECT_EQ(total(), 257u);
    // The PID in the second block is found after the whole first block.
    ASSERT_TRUE(lookup(pids[256]).has_value());
    EXPECT_TRUE(vtest::same_dev(lookup(pids[256])->src, dev_of(pids[256])));

    // Removing slot 10 closes the gap in order; the next PID fills the first block.
    ASSERT_TRUE(remove(pids[10]).has_value());
    EXPECT_EQ(chain[0]->num_pids, 255u);
    const uint32_t late = pid(5, 0xAA, 0xBB);
    add_plain(late);
    std::vector<uint32_t> expect = pids;
    expect.erase(expect.begin() + 10);
    expect.insert(expect.begin() + 255, late);
    EXPECT_EQ(domain_pids(5), expect);
    EXPECT_EQ(domain_chain(5).size(), 2u);
    EXPECT_EQ(total(), 257u);

    // An emptied first block keeps its place: the second block's PID is still found.
    for (uint32_t i = 0; i < 257; ++i) {
        if (i != 10 && i != 256) {
            ASSERT_TRUE(remove(pids[i]).has_value());
        }
    }
    ASSERT_TRUE(remove(late).has_value());
    EXPECT_EQ(chain[0]->num_pids, 0u);
    EXPECT_TRUE(lookup(pids[256]).has_value());
    EXPECT_EQ(total(), 1u);
}

TEST_F(StoreTest, LastRemovalKeepsDomainBlockRegisteredForReuse)
{
    const uint32_t a = pid(9, 1, 1);
    {
        vtest::TraceCapture trace;
        add_plain(a);
        EXPECT_TRUE(trace.has(5, "adding new dom 9 basic block"));
    }
    const gadd_t first = domain_first(9);
    ASSERT_NE(first, 0u);
    ASSERT_TRUE(remove(a).has_value());
    EXPECT_EQ(domain_first(9), first);
    EXPECT_EQ(domain_chain(9)[0]->num_pids, 0u);

    vtest::TraceCapture trace;
    add_plain(pid(9, 2, 2));
    EXPECT_FALSE(trace.has(5, "adding new dom 9 basic block"));
    EXPECT_EQ(domain_first(9), first);
    EXPECT_EQ(domain_pids(9), std::vector<uint32_t>{pid(9, 2, 2)});
}

TEST_F(StoreTest, PidsMatchAsWhole32BitValues)
{
    const uint32_t low = pid(3, 0, 0);
    const uint32_t high = 0x7F000000u | low; // same domain byte, bits above 23 set
    Payload a(low, {pid(3, 9, 9)});
    Payload b(high, {pid(3, 8, 8), pid(3, 7, 7)});
    ASSERT_EQ(insert(a), 0);
    ASSERT_EQ(insert(b), 0);
    EXPECT_EQ(domain_pids(3), (std::vector<uint32_t>{low, high}));
    EXPECT_EQ(pids_of(lookup(low)->dests), std::vector<uint32_t>{pid(3, 9, 9)});
    EXPECT_EQ(pids_of(lookup(high)->dests), (std::vector<uint32_t>{pid(3, 8, 8), pid(3, 7, 7)}));
    ASSERT_TRUE(remove(high).has_value());
    EXPECT_TRUE(lookup(low).has_value());
    EXPECT_FALSE(lookup(high).has_value());
}

// ---- destination chains ----------------------------------------------------------------

struct ChainShape {
    uint32_t degree;
    std::vector<size_t> blocks;
};

class ChainShapeTest : public StoreTest, public ::testing::WithParamInterface<ChainShape> {};

TEST_P(ChainShapeTest, OwnListFillsBlocksInOrderAndRemovalFreesThem)
{
    const ChainShape shape = GetParam();
    const uint32_t s = pid(1, 1, 1);
    add_plain(pid(1, 0, 0)); // the domain's block exists before we count
    const uint32_t baseline = stats().blocks_in_use;
    std::vector<DevInfo> dests;
    for (const uint32_t d : unstored(shape.degree))
        dests.push_back(dev_of(d, static_cast<uint32_t>(dests.size())));
    Payload p(dev_of(s, 3), dests);
    ASSERT_EQ(insert(p), 0);

    const vtest::StoredChain c = chain_of(s);
    EXPECT_EQ(block_sizes(c), shape.blocks);
    EXPECT_EQ(c.head_total, static_cast<int32_t>(shape.degree));
    for (const DevInfo &src : c.block_src)
        EXPECT_TRUE(vtest::same_dev(src, p.src()));
    const std::vector<DevInfo> flat = c.flat();
    ASSERT_EQ(flat.size(), p.dests().size());
    for (size_t i = 0; i < flat.size(); ++i)
        EXPECT_TRUE(vtest::same_dev(flat[i], p.dests()[i])) << "destination " << i;
    EXPECT_EQ(stats().blocks_in_use, baseline + shape.blocks.size());

    const auto rec = lookup(s);
    ASSERT_TRUE(rec.has_value());
    EXPECT_TRUE(vtest::same_dev(rec->src, p.src()));
    EXPECT_EQ(rec->num_dstdevices, static_cast<int32_t>(shape.degree));
    ASSERT_EQ(rec->dests.size(), p.dests().size());
    for (size_t i = 0; i < flat.size(); ++i)
        EXPECT_TRUE(vtest::same_dev(rec->dests[i], p.dests()[i])) << "destination " << i;

    const auto msg = remove(s);
    ASSERT_TRUE(msg.has_value());
    std::vector<uint32_t> expect{s, shape.degree};
    for (const DevInfo &d : p.dests())
        expect.push_back(d.pid);
    EXPECT_EQ(*msg, expect);
    EXPECT_EQ(stats().blocks_in_use, baseline);
}

INSTANTIATE_TEST_SUITE_P(Degrees, ChainShapeTest,
                         ::testing::Values(ChainShape{0, {0}}, ChainShape{1, {1}}, ChainShape{64, {64}},
                                           ChainShape{65, {64, 1}}, ChainShape{130, {64, 64, 2}}),
                         [](const auto &info) { return "degree" + std::to_string(info.param.degree); });

// ---- reverse links ------------------------------------------------------------------

// P is connected to 64 stored devices X0..X63: its first block is full.
class FullPeerTest : public StoreTest {
  protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        for (uint32_t i = 0; i < 64; ++i) {
            xs.push_back(pid(2, 1, i));
            add_plain(xs.back());
        }
        Payload pp(peer, xs);
        ASSERT_EQ(insert(pp), 0);
        ASSERT_EQ(block_sizes(chain_of(peer)), std::vector<size_t>{64});
    }
    const uint32_t peer = pid(4, 0, 1);
    std::vector<uint32_t> xs;
};

TEST_F(FullPeerTest, FullChainGetsBlockDescribedByThePayloadThenReusesFreedSlot)
{
    const uint32_t s1 = pid(6, 0, 1);
    const DevInfo peer_as_seen = dev_of(peer, 77); // how s1's producer describes the peer
    Payload p1(dev_of(s1), {peer_as_seen});
    ASSERT_EQ(insert(p1), 0);
    vtest::StoredChain c = chain_of(peer);
    ASSERT_EQ(block_sizes(c), (std::vector<size_t>{64, 1}));
    EXPECT_TRUE(vtest::same_dev(c.block_src[0], dev_of(peer)));
    EXPECT_TRUE(vtest::same_dev(c.block_src[1], peer_as_seen));
    EXPECT_TRUE(vtest::same_dev(c.blocks[1][0], p1.src()));
    EXPECT_EQ(c.head_total, 65);

    // X5 goes: the peer's first block closes up; the next link lands there.
    const auto msg = remove(xs[5]);
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(*msg, (std::vector<uint32_t>{xs[5], 1, peer}));
    const uint32_t s2 = pid(6, 0, 2);
    Payload p2(s2, {peer});
    ASSERT_EQ(insert(p2), 0);
    c = chain_of(peer);
    EXPECT_EQ(block_sizes(c), (std::vector<size_t>{64, 1}));
    EXPECT_EQ(c.head_total, 65);
    std::vector<uint32_t> expect = xs;
    expect.erase(expect.begin() + 5);
    expect.push_back(s2);
    expect.push_back(s1);
    EXPECT_EQ(pids_of(c.flat()), expect);

    // The removal lists the destinations in chain order, and every one of
    // them stops listing the peer.
    const auto gone = remove(peer);
    ASSERT_TRUE(gone.has_value());
    std::vector<uint32_t> msg_expect{peer, 65};
    msg_expect.insert(msg_expect.end(), expect.begin(), expect.end());
    EXPECT_EQ(*gone, msg_expect);
    for (const uint32_t x : expect)
        EXPECT_TRUE(chain_of(x).flat().empty()) << std::hex << x;
}

TEST_F(StoreTest, ReinsertionReplacesRecordAndReverseLinks)
{
    const uint32_t s = pid(1, 0, 1), a = pid(1, 0, 2), b = pid(2, 0, 3), c = pid(3, 0, 4);
    for (const uint32_t p : {a, b, c})
        add_plain(p);
    Payload first(s, {a, b});
    ASSERT_EQ(insert(first), 0);
    EXPECT_EQ(total(), 4u);
    Payload second(dev_of(s, 1), {dev_of(b), dev_of(c)});
    ASSERT_EQ(insert(second), 0);
    EXPECT_EQ(total(), 4u);
    EXPECT_TRUE(chain_of(a).flat().empty());
    ASSERT_EQ(chain_of(b).flat().size(), 1u);
    EXPECT_TRUE(vtest::same_dev(chain_of(b).flat()[0], dev_of(s, 1)));
    EXPECT_EQ(pids_of(chain_of(c).flat()), std::vector<uint32_t>{s});
    EXPECT_EQ(pids_of(lookup(s)->dests), (std::vector<uint32_t>{b, c}));
    EXPECT_TRUE(vtest::same_dev(lookup(s)->src, dev_of(s, 1)));
    // The replaced entry moved behind the others of its domain.
    EXPECT_EQ(domain_pids(1), (std::vector<uint32_t>{a, s}));
}

TEST_F(StoreTest, DuplicateDestinationsInPayloadAreStoredButLinkedBackOnce)
{
    const uint32_t s = pid(1, 0, 1), d = pid(2, 0, 1);
    add_plain(d);
    Payload p(s, {d, d});
    vtest::TraceCapture trace;
    ASSERT_EQ(insert(p), 0);
    EXPECT_EQ(pids_of(lookup(s)->dests), (std::vector<uint32_t>{d, d}));
    EXPECT_EQ(pids_of(chain_of(d).flat()), std::vector<uint32_t>{s});
    EXPECT_EQ(chain_of(d).head_total, 1);
    EXPECT_TRUE(trace.has(1, "dest_pid " + hex8(s) + " already exists in src_pid " + hex8(d) + " database"));

    // Removing s unlinks d once; the second occurrence finds nothing left.
    trace.clear();
    const auto msg = remove(s);
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(*msg, (std::vector<uint32_t>{s, 2, d, d}));
    EXPECT_TRUE(chain_of(d).flat().empty());
    EXPECT_EQ(chain_of(d).head_total, 0);
    EXPECT_TRUE(trace.has(1, "Did not find dest pid " + hex8(s) + " in src pid " + hex8(d) +
                                 " connectivity list to be deleted"));
}

TEST_F(StoreTest, RemovalUnlinksOnlyOneOfTwoOccurrencesInAPeer)
{
    const uint32_t s = pid(1, 0, 1), d = pid(2, 0, 1);
    add_plain(s);
    Payload pd(d, {s, s}); // d lists s twice; s gets d once
    ASSERT_EQ(insert(pd), 0);
    EXPECT_EQ(pids_of(chain_of(s).flat()), std::vector<uint32_t>{d});
    const auto msg = remove(s);
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(*msg, (std::vector<uint32_t>{s, 1, d}));
    EXPECT_EQ(pids_of(chain_of(d).flat()), std::vector<uint32_t>{s});
    EXPECT_EQ(chain_of(d).head_total, 1);
    EXPECT_EQ(total(), 1u);
}

TEST_F(StoreTest, SyncPeersZeroTouchesOnlyTheDevicesOwnChain)
{
    const uint32_t s = pid(1, 0, 1), d = pid(2, 0, 1), e = pid(2, 0, 2);
    add_plain(d);
    Payload p(s, {d});
    ASSERT_EQ(insert(p), 0);
    const auto msg = remove(s, 0);
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(*msg, (std::vector<uint32_t>{s, 1, d}));
    EXPECT_EQ(pids_of(chain_of(d).flat()), std::vector<uint32_t>{s}) << "the peer still lists the removed PID";

    // The initial load's plain insertion adds no reverse link either.
    Payload q(e, {d});
    ASSERT_EQ(insert(q, 0), 0);
    EXPECT_EQ(pids_of(chain_of(d).flat()), std::vector<uint32_t>{s});
    EXPECT_EQ(pids_of(lookup(e)->dests), std::vector<uint32_t>{d});
    EXPECT_EQ(total(), 2u);
}

TEST_F(StoreTest, DestinationsNotStoredGetNoLinkButStayListed)
{
    const uint32_t s = pid(1, 0, 1), ghost = pid(2, 0, 9), d = pid(2, 0, 1);
    add_plain(d);
    Payload p(s, {ghost, d});
    vtest::TraceCapture trace;
    ASSERT_EQ(insert(p), 0);
    EXPECT_TRUE(trace.has(5, "src_pid " + hex8(ghost) + " does not exist to add dest_pid" + hex8(s)));
    EXPECT_EQ(pids_of(lookup(s)->dests), (std::vector<uint32_t>{ghost, d}));
    EXPECT_EQ(pids_of(chain_of(d).flat()), std::vector<uint32_t>{s});
    trace.clear();
    ASSERT_TRUE(remove(s).has_value());
    EXPECT_TRUE(trace.has(1, "src_pid " + hex8(ghost) + " does not exist to delete dest_pid" + hex8(s)));
}

// ---- trace records --------------------------------------------------------------------

TEST_F(StoreTest, InsertionAndRemovalWriteTheirStepsInOrder)
{
    const uint32_t s = pid(1, 2, 3), d = pid(7, 0, 1);
    add_plain(d);
    Payload p(s, {d});
    std::vector<std::string> got;
    {
        vtest::TraceCapture trace;
        ASSERT_EQ(insert(p), 0);
        got = trace.lines();
    }
    const gadd_t head = [&] {
        for (const DomDb *b : domain_chain(1))
            return b->pid_tbl[0].gadd;
        return gadd_t{0};
    }();
    const std::vector<std::string> expect_add = {
        "L4 con_addpidtodb()->Enter",
        "L4 getVorelHdr()->Enter",
        "L4 getVorelHdr()->Exit",
        "L4 con_delpidfromdb()->Enter",
        "L4 getVorelHdr()->Enter",
        "L4 getVorelHdr()->Exit",
        "L4 delPidFromDomDb()->Enter",
        "L4 delPidFromDomDb()->Exit",
        "L1 con_delpidfromdb(): Pid " + hex8(s) + " does not exist in vorel",
        "L4 con_delpidfromdb()->Exit",
        "L4 AddPidToDomDb()->Enter",
        "L5 AddPidToDomDb(): adding new dom 1 basic block",
        "L4 AddPidToDomDb()->Exit",
        "L4 addPidToDestDb()->Enter",
        "L4 con_findpidfromdb()->Enter",
        "L5 con_findpidfromdb(): found pid " + hex8(d) + " in domdb",
        "L4 con_findpidfromdb()->Exit",
        "L5 addPidToDestDb(): successfully added destPid " + hex8(s) + " to srcPid " + hex8(d) + " connectivity list",
        "L4 addPidToDestDb()->Exit",
        "L5 con_addpidtodb(): successfully added pid " + hex8(s) + " to vorel",
        "L4 con_addpidtodb()->Exit",
    };
    EXPECT_EQ(got, expect_add);
    ASSERT_NE(head, 0u);

    // A second PID of the domain finds room in the block and names its head.
    const uint32_t s2 = pid(1, 2, 4);
    Payload p2(s2, {});
    {
        vtest::TraceCapture trace;
        ASSERT_EQ(insert(p2, 0), 0);
        const gadd_t head2 = domain_chain(1)[0]->pid_tbl[1].gadd;
        EXPECT_TRUE(trace.has(5, "adding pid " + hex8(s2) + " and allocated gadd " + hex8(head2) + "to domDb"));
    }

    vtest::TraceCapture trace;
    ASSERT_TRUE(remove(s).has_value());
    const std::vector<std::string> expect_del = {
        "L4 con_delpidfromdb()->Enter",
        "L4 getVorelHdr()->Enter",
        "L4 getVorelHdr()->Exit",
        "L4 delPidFromDomDb()->Enter",
        "L5 delPidFromDomDb(): deleted pid " + hex8(s) + " from domdb",
        "L4 delPidFromDomDb()->Exit",
        "L5 con_delpidfromdb(): deleting PID " + hex8(s) + " num disconnected PIDs 1",
        "L4 delPidFromDestDb()->Enter",
        "L4 con_findpidfromdb()->Enter",
        "L5 con_findpidfromdb(): found pid " + hex8(d) + " in domdb",
        "L4 con_findpidfromdb()->Exit",
        "L5 delPidFromDestDb(): found dest pid " + hex8(s) + " in src pid " + hex8(d) +
            " connectivity list to be deleted",
        "L4 delPidFromDestDb()->Exit",
        "L4 con_delpidfromdb()->Exit",
    };
    EXPECT_EQ(trace.lines(), expect_del);
}

// ---- failures of the shared-memory service ------------------------------------------------

TEST_F(StoreTest, NoHeaderChangesNothing)
{
    const uint32_t s = pid(1, 0, 1);
    add_plain(s);
    vtest::TraceCapture trace;
    plat_fail_after("get_basic_block", 1);
    Payload p(pid(1, 0, 2), {s});
    EXPECT_EQ(insert(p), 0);
    EXPECT_TRUE(trace.has(1, "Header for Vorel not initialized"));
    plat_fail_after("get_basic_block", 1);
    EXPECT_FALSE(remove(s).has_value());
    EXPECT_EQ(domain_pids(1), std::vector<uint32_t>{s});
    EXPECT_EQ(total(), 1u);
}

TEST_F(StoreTest, DomainStepFailureLeavesEarlierRecordRemoved)
{
    const uint32_t s = pid(1, 0, 1), d = pid(2, 0, 1);
    add_plain(d);
    Payload p(s, {d});
    ASSERT_EQ(insert(p), 0);
    ASSERT_EQ(total(), 2u);
    // Re-insertion: the removal frees one block (no allocation); the domain
    // step's allocation of the new head fails.
    vtest::TraceCapture trace;
    plat_fail_after("gshm_alloc", 1);
    EXPECT_EQ(insert(p), 0);
    EXPECT_TRUE(trace.has(1, "gshm_alloc() returns error for pid " + hex8(s)));
    EXPECT_TRUE(trace.has(1, "Unable to retrieve domain databasefor pid " + hex8(s)));
    EXPECT_FALSE(lookup(s).has_value());
    EXPECT_TRUE(chain_of(d).flat().empty()) << "the earlier record's links went with it";
    EXPECT_EQ(total(), 1u);

    // No room in the segment: the same outcome, another record.
    trace.clear();
    plat_fail_after("gshm_availability", 1);
    EXPECT_EQ(insert(p), 0);
    EXPECT_TRUE(trace.has(1, "shm: no memory"));
    EXPECT_FALSE(lookup(s).has_value());
}

TEST_F(StoreTest, NewDomainBlockStaysRegisteredWhenHeadCannotBeHad)
{
    const uint32_t s = pid(12, 0, 1);
    const uint32_t blocks = stats().blocks_in_use;
    plat_fail_after("gshm_alloc", 2); // the DomDb block is had, the head is not
    Payload p(s, {});
    EXPECT_EQ(insert(p), 0);
    ASSERT_NE(domain_first(12), 0u);
    EXPECT_EQ(domain_chain(12)[0]->num_pids, 0u);
    EXPECT_EQ(domain_chain(12)[0]->domain, 12u);
    EXPECT_EQ(stats().blocks_in_use, blocks + 1);
    EXPECT_EQ(total(), 0u);
    // The next insertion uses that block.
    EXPECT_EQ(insert(p), 0);
    EXPECT_EQ(domain_pids(12), std::vector<uint32_t>{s});
    EXPECT_EQ(domain_chain(12).size(), 1u);
}

TEST_F(StoreTest, OwnChainFailuresLeavePartialChainUncounted)
{
    const uint32_t s = pid(1, 0, 1);
    add_plain(pid(1, 0, 0));
    const std::vector<uint32_t> dests = unstored(65);
    Payload p(s, dests);

    // No room for the second block: -1, the head holds 64 but counts 65, and
    // the device is not counted (its removal still subtracts it).
    uint32_t count = total();
    vtest::TraceCapture trace;
    plat_fail_after("gshm_availability", 2);
    EXPECT_EQ(insert(p, 0), -1);
    EXPECT_TRUE(trace.has(1, "shm: no memory"));
    vtest::StoredChain c = chain_of(s);
    EXPECT_EQ(block_sizes(c), std::vector<size_t>{64});
    EXPECT_EQ(c.head_total, 65);
    EXPECT_EQ(total(), count);
    auto rec = lookup(s);
    ASSERT_TRUE(rec.has_value());
    ASSERT_EQ(rec->dests.size(), 65u);
    EXPECT_EQ(rec->dests[64].pid, 0u) << "the missing record is zero-filled";
    EXPECT_EQ(rec->dests[63].pid, dests[63]);
    auto msg = remove(s, 0);
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(msg->size(), 67u);
    EXPECT_EQ((*msg)[66], 0u);
    EXPECT_EQ(total(), count - 1);

    // The second block's allocation fails.
    trace.clear();
    count = total();
    plat_fail_after("gshm_alloc", 2);
    EXPECT_EQ(insert(p, 0), -1);
    EXPECT_EQ(total(), count);
    EXPECT_TRUE(trace.has(1, "gshm_alloc() returns error for pid " + hex8(s)));
    EXPECT_EQ(block_sizes(chain_of(s)), std::vector<size_t>{64});
    ASSERT_TRUE(remove(s, 0).has_value());

    // The second block cannot be resolved: result 0, chain keeps what was
    // written, no count, no reverse links.  Resolutions: header, the
    // removal's header and domain block, the domain step's block, head,
    // second block.
    const uint32_t peer = pid(1, 0, 2);
    add_plain(peer);
    const uint32_t baseline = stats().blocks_in_use;
    std::vector<uint32_t> with_peer = dests;
    with_peer.push_back(peer);
    Payload q(s, with_peer);
    trace.clear();
    count = total();
    plat_fail_after("gadd2ladd", 6);
    EXPECT_EQ(insert(q), 0);
    EXPECT_TRUE(trace.has(1, "gadd2ladd() returns error"));
    c = chain_of(s);
    EXPECT_EQ(block_sizes(c), std::vector<size_t>{64});
    EXPECT_EQ(c.head_total, 66);
    EXPECT_EQ(stats().blocks_in_use, baseline + 1) << "the unwritten block went back";
    EXPECT_EQ(total(), count);
    EXPECT_TRUE(chain_of(peer).flat().empty());
}

TEST_F(FullPeerTest, ReverseLinkFailureSkipsOnlyThatPeer)
{
    const uint32_t s = pid(6, 0, 1), other = xs[0];
    Payload p(s, {peer, other});
    vtest::TraceCapture trace;
    // Availability is asked twice by the domain step (a new domain block,
    // then the head), then for the peer's new block.
    plat_fail_after("gshm_availability", 3);
    ASSERT_EQ(insert(p), 0);
    EXPECT_TRUE(trace.has(1, "shm: no memory"));
    EXPECT_EQ(block_sizes(chain_of(peer)), std::vector<size_t>{64});
    EXPECT_EQ(chain_of(peer).head_total, 64);
    EXPECT_EQ(pids_of(chain_of(other).flat()), (std::vector<uint32_t>{peer, s}));
    EXPECT_EQ(total(), 66u);

    trace.clear();
    const uint32_t s2 = pid(6, 0, 2);
    Payload p2(s2, {peer});
    plat_fail_after("gshm_alloc", 2); // the head, then the peer's new block
    ASSERT_EQ(insert(p2), 0);
    EXPECT_TRUE(trace.has(1, "gshm_alloc() returns error for pid " + hex8(s2)));
    EXPECT_EQ(chain_of(peer).head_total, 64);
}

TEST_F(StoreTest, RemovalFailuresFollowTheirRows)
{
    const uint32_t s = pid(1, 0, 1), d = pid(2, 0, 1);
    add_plain(d);
    std::vector<uint32_t> dests = unstored(130);
    dests.push_back(d);
    Payload p(s, dests);
    ASSERT_EQ(insert(p), 0);
    const uint32_t blocks = stats().blocks_in_use;

    // Not stored.
    vtest::TraceCapture trace;
    EXPECT_FALSE(remove(pid(1, 9, 9)).has_value());
    EXPECT_TRUE(trace.has(1, "Pid " + hex8(pid(1, 9, 9)) + " does not exist in vorel"));
    EXPECT_EQ(stats().blocks_in_use, blocks);

    // The head cannot be resolved (header, domain block, head): the entry is
    // gone, the chain stays, the count and the peer are untouched.
    trace.clear();
    plat_fail_after("gadd2ladd", 3);
    EXPECT_FALSE(remove(s).has_value());
    EXPECT_TRUE(trace.has(1, "gadd2ladd() returns error"));
    EXPECT_TRUE(domain_pids(1).empty());
    EXPECT_EQ(stats().blocks_in_use, blocks);
    EXPECT_EQ(total(), 2u);
    EXPECT_EQ(pids_of(chain_of(d).flat()), std::vector<uint32_t>{s});
}

TEST_F(StoreTest, RemovalStopsAtABlockItCannotResolveOrFree)
{
    const uint32_t s = pid(1, 0, 1);
    Payload p(s, unstored(130));
    ASSERT_EQ(insert(p), 0);
    const uint32_t blocks = stats().blocks_in_use;
    // Resolutions: header, domain block, head; the second block fails.  The
    // destinations' domain has no block, so their lookups resolve nothing.
    vtest::TraceCapture trace;
    plat_fail_after("gadd2ladd", 4);
    EXPECT_FALSE(remove(s).has_value());
    EXPECT_TRUE(trace.has(1, "gadd2ladd() returns error"));
    EXPECT_EQ(stats().blocks_in_use, blocks - 1) << "only the head was freed";
    EXPECT_EQ(total(), 1u);

    Payload q(pid(1, 0, 2), unstored(130));
    ASSERT_EQ(insert(q), 0);
    const uint32_t blocks2 = stats().blocks_in_use;
    trace.clear();
    plat_fail_after("gshm_free", 2);
    EXPECT_FALSE(remove(q.src().pid).has_value());
    EXPECT_TRUE(trace.has(1, "gshm_free() returns rc=" + std::to_string(PLAT_ERR_INJECTED)));
    EXPECT_EQ(stats().blocks_in_use, blocks2 - 1);
    EXPECT_EQ(total(), 2u);
}

// ---- PIDs without a domain ---------------------------------------------------------------

TEST_F(StoreTest, DomainZeroPidsNeverReachTheHeader)
{
    const uint32_t zero = 0x0000ABCDu;
    const uint32_t s = pid(1, 0, 1);
    add_plain(s);
    gadd_t hdr_before = 0;
    ASSERT_EQ(get_basic_block(vorel::shm(), 0, &hdr_before), 0);
    const VorelHdr before = *header();

    EXPECT_EQ(con_findpidfromdb(zero), 0u);
    int32_t rc = 0;
    EXPECT_FALSE(lookup(zero, &rc).has_value());
    EXPECT_EQ(rc, -1);

    vtest::TraceCapture trace;
    Payload p(zero, {s});
    EXPECT_EQ(insert(p), 0);
    EXPECT_TRUE(trace.has(1, "get_basic_block() for dom 0 returns none"));
    EXPECT_TRUE(trace.has(1, "Unable to retrieve domain databasefor pid " + hex8(zero)));
    EXPECT_FALSE(remove(zero).has_value());
    EXPECT_TRUE(trace.has(1, "Pid " + hex8(zero) + " does not exist in vorel"));

    gadd_t hdr_after = 0;
    ASSERT_EQ(get_basic_block(vorel::shm(), 0, &hdr_after), 0);
    EXPECT_EQ(hdr_after, hdr_before);
    EXPECT_EQ(header()->total_pids, before.total_pids);
    EXPECT_EQ(header()->sync_done, before.sync_done);
    EXPECT_TRUE(chain_of(s).flat().empty());

    // As a destination it is stored in the device's own list, never linked.
    Payload q(pid(1, 0, 2), {zero});
    EXPECT_EQ(insert(q), 0);
    EXPECT_EQ(pids_of(lookup(q.src().pid)->dests), std::vector<uint32_t>{zero});
    EXPECT_EQ(hdr_after, hdr_before);
}

} // namespace
