// Connectivity delta: which destinations of a new payload are new and which
// stored ones are gone, in the order of the list each comes from, in one
// heap block.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "store_fixture.h"

namespace {

using vtest::dev_of;
using vtest::Payload;

constexpr uint32_t pid(uint32_t dom, uint32_t port) { return dom << 16 | port; }

std::string hex8(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%8x", v);
    return buf;
}

struct FreeDelta {
    void operator()(PidConnDelta *d) const { std::free(d); }
};
using Delta = std::unique_ptr<PidConnDelta, FreeDelta>;

std::vector<uint32_t> new_of(const PidConnDelta &d) { return {d.new_pids, d.new_pids + d.num_new_pids}; }
std::vector<uint32_t> removed_of(const PidConnDelta &d)
{
    return {d.removed_pids, d.removed_pids + d.num_removed_pids};
}

// The delta's records under its own name, in order.
std::vector<std::string> delta_records(const vtest::TraceCapture &t)
{
    std::vector<std::string> out;
    for (const std::string &l : t.lines())
        if (l.find(" createPidConnDelta(): ") != std::string::npos)
            out.push_back(l.substr(l.find("(): ") + 4));
    return out;
}

class DeltaTest : public vtest::StoreFixture {
  protected:
    const uint32_t src = pid(1, 1);
    const uint32_t a = pid(2, 1), b = pid(2, 2), c = pid(3, 3), d = pid(3, 4), e = pid(4, 5);
};

TEST_F(DeltaTest, NewSourceListsEveryDestinationInPayloadOrderAsOneBlock)
{
    Payload p(src, {c, a, b, a});
    vtest::TraceCapture trace;
    Delta delta(createPidConnDelta(p.get()));
    ASSERT_TRUE(delta);
    EXPECT_EQ(delta->src_pid, src);
    EXPECT_EQ(new_of(*delta), (std::vector<uint32_t>{c, a, b, a}));
    EXPECT_EQ(delta->num_removed_pids, 0u);
    // Both arrays live in the same block, right after the fields.
    EXPECT_EQ(delta->new_pids, reinterpret_cast<uint32_t *>(delta.get() + 1));
    EXPECT_EQ(delta->removed_pids, delta->new_pids + 4);
    const std::vector<std::string> expect = {
        "allocating memory of 4 devices fornewPids for src PID " + hex8(src),
        "PID " + hex8(c) + " is newly connected to PID " + hex8(src),
        "PID " + hex8(a) + " is newly connected to PID " + hex8(src),
        "PID " + hex8(b) + " is newly connected to PID " + hex8(src),
        "PID " + hex8(a) + " is newly connected to PID " + hex8(src),
    };
    EXPECT_EQ(delta_records(trace), expect);
}

TEST_F(DeltaTest, StoredSourceMatchesFirstEqualEntryAndKeepsBothOrders)
{
    // Stored: a, b, c, b.  Payload: d, c, b, a, a, e.
    Payload stored(src, {a, b, c, b});
    ASSERT_EQ(insert(stored, 0), 0);
    Payload now(src, {d, c, b, a, a, e});
    vtest::TraceCapture trace;
    Delta delta(createPidConnDelta(now.get()));
    ASSERT_TRUE(delta);
    EXPECT_EQ(new_of(*delta), (std::vector<uint32_t>{d, e}));
    EXPECT_EQ(removed_of(*delta), std::vector<uint32_t>{b}) << "the second stored copy of b is unmatched";
    EXPECT_EQ(delta->removed_pids, delta->new_pids + 2);
    const std::vector<std::string> expect = {
        "allocating memory of  4evices forprevPids and prevPidFlags in addPidToVorel",
        "allocating memory of 6 devices fornewPids for src PID " + hex8(src),
        "PID " + hex8(d) + " is newly connected to PID " + hex8(src),
        "PID " + hex8(c) + " is already present in connectivity list",
        "PID " + hex8(b) + " is already present in connectivity list",
        "PID " + hex8(a) + " is already present in connectivity list",
        "PID " + hex8(a) + " is already present in connectivity list",
        "PID " + hex8(e) + " is newly connected to PID " + hex8(src),
        "PID " + hex8(b) + " is nowdisconnected from PID " + hex8(src),
    };
    EXPECT_EQ(delta_records(trace), expect);
    // Reading the store changed nothing in it.
    EXPECT_EQ(vtest::pids_of(lookup(src)->dests), (std::vector<uint32_t>{a, b, c, b}));
}

TEST_F(DeltaTest, EmptyPayloadReportsEveryStoredDestinationInStoredOrder)
{
    Payload stored(src, {e, a, d});
    ASSERT_EQ(insert(stored), 0);
    Payload now(src, {});
    Delta delta(createPidConnDelta(now.get()));
    ASSERT_TRUE(delta);
    EXPECT_EQ(delta->num_new_pids, 0u);
    EXPECT_EQ(removed_of(*delta), (std::vector<uint32_t>{e, a, d}));
    EXPECT_EQ(delta->removed_pids, delta->new_pids);
}

TEST_F(DeltaTest, SameDestinationsInAnyOrderAndWithOtherAttributesGiveAnEmptyDelta)
{
    Payload stored(src, {a, b, c});
    ASSERT_EQ(insert(stored), 0);
    DevInfo b2 = dev_of(b, 9); // same PID, other index, speed and flags
    b2.spd = static_cast<uint16_t>(b2.spd + 1);
    Payload now(dev_of(src, 4), {dev_of(c, 1), b2, dev_of(a, 2)});
    Delta delta(createPidConnDelta(now.get()));
    ASSERT_TRUE(delta) << "an unchanged list is a delta with nothing in it, not a failure";
    EXPECT_EQ(delta->num_new_pids, 0u);
    EXPECT_EQ(delta->num_removed_pids, 0u);
    EXPECT_EQ(delta->new_pids, reinterpret_cast<uint32_t *>(delta.get() + 1));
    EXPECT_EQ(delta->removed_pids, delta->new_pids);
}

TEST_F(DeltaTest, LargeStoredListSpanningBlocksIsComparedWhole)
{
    std::vector<uint32_t> many;
    for (uint32_t i = 0; i < 150; ++i)
        many.push_back(pid(9, i));
    Payload stored(src, many);
    ASSERT_EQ(insert(stored), 0);
    std::vector<uint32_t> next(many.begin() + 1, many.end()); // drop the first
    next.push_back(pid(9, 500));                              // add one
    Payload now(src, next);
    Delta delta(createPidConnDelta(now.get()));
    ASSERT_TRUE(delta);
    EXPECT_EQ(new_of(*delta), std::vector<uint32_t>{pid(9, 500)});
    EXPECT_EQ(removed_of(*delta), std::vector<uint32_t>{pid(9, 0)});
}

TEST_F(DeltaTest, OnlyANotStoredLookupIsNotAFailure)
{
    Payload p(src, {a});
    {
        vtest::TraceCapture trace;
        Delta delta(createPidConnDelta(p.get())); // -1 from the lookup: a new source
        ASSERT_TRUE(delta);
        EXPECT_FALSE(trace.has(1, "getPidFromVorel failed whenadding to Vorel"));
    }
    detachVorelSrvr(); // the lookup now answers -4
    vtest::TraceCapture trace;
    EXPECT_EQ(createPidConnDelta(p.get()), nullptr);
    EXPECT_TRUE(trace.has(1, "getPidFromVorel failed whenadding to Vorel"));
}

} // namespace
