// Connectivity store against a plain in-memory model: long random sequences
// of insertions, replacements, removals and initial loads, after each of
// which every chain of the segment, every lookup and the device count must
// be what the model says.  Sequences are fixed by their seeds.
//
// VOREL_MODEL_STEPS sets the number of steps per sequence (half the
// default under VOREL_SLOW_TARGET); a sequence also stops early (and says
// so) once it has run for VOREL_MODEL_SECONDS (default 40), which keeps slow
// emulated runs bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "store_fixture.h"
#include "store_model.h"

namespace {

using vtest::dev_of;
using vtest::Payload;
using Model = vmodel::StoreModel;

uint32_t env_number(const char *name, uint32_t fallback)
{
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? static_cast<uint32_t>(std::strtoul(v, nullptr, 10)) : fallback;
}

constexpr uint32_t pid(uint32_t dom, uint32_t area, uint32_t port) { return dom << 16 | area << 8 | port; }

class StoreModelTest : public vtest::StoreFixture {
  protected:
    void SetUp() override
    {
        vtest::StoreFixture::SetUp();
        log_set_level(0); // expected "not found" records by the thousand
        build_pool();
    }
    void TearDown() override
    {
        log_set_level(1);
        vtest::StoreFixture::TearDown();
    }

    // PIDs that collide in area and port across domains, a crowded domain
    // that needs more than one DomDb block, and PIDs with bits above 23.
    void build_pool()
    {
        for (uint32_t i = 0; i < 420; ++i)
            pool.push_back(pid(1, i / 64, i % 64));
        for (const uint32_t dom : {2u, 7u, 128u, 255u})
            for (uint32_t i = 0; i < 40; ++i)
                pool.push_back(pid(dom, i / 16, i % 16));
        for (uint32_t i = 0; i < 12; ++i)
            pool.push_back(0x5A000000u | pid(2, 0, i));
        for (const uint32_t p : pool)
            domains_used.insert(vorel::domain_of(p));
    }

    uint32_t degree(std::mt19937 &rng)
    {
        const uint32_t r = rng() % 100;
        if (r < 70)
            return rng() % 7;
        if (r < 90)
            return 7 + rng() % 64;
        if (r < 98)
            return 71 + rng() % 70;
        return 141 + rng() % 160;
    }

    // A payload for `src`: destinations from the pool (present or not), each
    // described with its own salt, with some duplicates and self links.
    Payload payload(std::mt19937 &rng, uint32_t src)
    {
        const uint32_t n = degree(rng);
        std::vector<DevInfo> dests;
        while (dests.size() < n) {
            uint32_t d = pool[rng() % pool.size()];
            if (!dests.empty() && rng() % 20 == 0)
                d = dests[rng() % dests.size()].pid;
            else if (rng() % 100 == 0)
                d = src;
            dests.push_back(dev_of(d, rng() % 5));
        }
        return Payload(dev_of(src, rng() % 3), dests);
    }

    // Every chain of the segment, every lookup and the count against the model.
    void check(const Model &m, uint32_t step)
    {
        SCOPED_TRACE(::testing::Message() << "after step " << step);
        ASSERT_EQ(header()->total_pids, m.total);
        for (const uint32_t dom : domains_used) {
            const std::vector<const DomDb *> chain = domain_chain(dom);
            const auto it = m.domains.find(dom);
            const size_t want = it == m.domains.end() ? 0 : it->second.size();
            ASSERT_EQ(chain.size(), want) << "DomDb blocks of domain " << dom;
            most_domain_blocks = std::max(most_domain_blocks, chain.size());
            for (size_t b = 0; b < chain.size(); ++b) {
                ASSERT_EQ(chain[b]->domain, dom);
                ASSERT_EQ(chain[b]->num_pids, it->second[b].size()) << "domain " << dom << " block " << b;
                for (uint32_t s = 0; s < chain[b]->num_pids; ++s) {
                    ASSERT_EQ(chain[b]->pid_tbl[s].pid, it->second[b][s]) << "domain " << dom << " slot " << s;
                    ASSERT_NE(chain[b]->pid_tbl[s].gadd, 0u);
                }
            }
        }
        for (const auto &[p, dev] : m.devices) {
            const vtest::StoredChain c = chain_of(p);
            ASSERT_EQ(c.blocks.size(), dev.blocks.size()) << std::hex << "blocks of " << p;
            most_chain_blocks = std::max(most_chain_blocks, c.blocks.size());
            ASSERT_EQ(c.head_total, dev.count()) << std::hex << "head count of " << p;
            for (size_t b = 0; b < c.blocks.size(); ++b) {
                ASSERT_TRUE(vtest::same_dev(c.block_src[b], dev.blocks[b].src)) << std::hex << p << " block " << b;
                ASSERT_EQ(c.blocks[b].size(), dev.blocks[b].slots.size()) << std::hex << p << " block " << b;
                for (size_t s = 0; s < c.blocks[b].size(); ++s)
                    ASSERT_TRUE(vtest::same_dev(c.blocks[b][s], dev.blocks[b].slots[s]))
                        << std::hex << p << " block " << b << " slot " << s;
            }
            int32_t rc = 0;
            const auto rec = lookup(p, &rc);
            ASSERT_TRUE(rec.has_value()) << std::hex << p << " lookup " << std::dec << rc;
            ASSERT_TRUE(vtest::same_dev(rec->src, dev.blocks[0].src));
            ASSERT_EQ(vtest::pids_of(rec->dests), dev.flat_pids()) << std::hex << p;
        }
    }

    // A fabric whose links are undirected: the payload of a device lists its
    // neighbours, and a device that comes back may change them.
    using Graph = std::map<uint32_t, std::set<uint32_t>>;

    Payload fabric_payload(std::mt19937 &rng, Graph &g, uint32_t src, bool rewire)
    {
        if (rewire) {
            for (const uint32_t old : g[src])
                g[old].erase(src);
            g[src].clear();
            const uint32_t n = degree(rng);
            for (uint32_t tries = 0; g[src].size() < n && tries < 4 * n; ++tries) {
                const uint32_t d = pool[rng() % pool.size()];
                if (d == src)
                    continue;
                g[src].insert(d);
                g[d].insert(src);
            }
        }
        std::vector<uint32_t> order(g[src].begin(), g[src].end());
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<DevInfo> dests;
        for (const uint32_t d : order)
            dests.push_back(dev_of(d, rng() % 5));
        return Payload(dev_of(src, rng() % 3), dests);
    }

    // Between stored devices a link exists in both chains, once, exactly
    // when the fabric has it.
    void check_symmetry(const Model &m, const Graph &g, uint32_t step)
    {
        SCOPED_TRACE(::testing::Message() << "symmetry after step " << step);
        for (const auto &[s, unused] : m.devices) {
            (void)unused;
            std::multiset<uint32_t> listed;
            for (const DevInfo &d : chain_of(s).flat())
                if (m.devices.count(d.pid) != 0)
                    listed.insert(d.pid);
            std::multiset<uint32_t> want;
            if (const auto it = g.find(s); it != g.end())
                for (const uint32_t d : it->second)
                    if (m.devices.count(d) != 0)
                        want.insert(d);
            ASSERT_EQ(listed, want) << std::hex << "stored peers of " << s;
        }
    }

    // Runs one sequence.  `wild`: initial loads, duplicate and self links;
    // otherwise every change keeps peers in step over an undirected fabric
    // and symmetry is checked too.
    void run(uint32_t seed, bool wild)
    {
        std::mt19937 rng(seed);
        Model m;
        Graph g;
        // An emulated target (VOREL_SLOW_TARGET) runs half the steps.
        const uint32_t scale = std::getenv("VOREL_SLOW_TARGET") != nullptr ? 2 : 1;
        const uint32_t steps = env_number("VOREL_MODEL_STEPS", (wild ? 2500 : 2000) / scale);
        const auto budget = std::chrono::seconds(env_number("VOREL_MODEL_SECONDS", 40));
        const auto start = std::chrono::steady_clock::now();
        const gshm_stats_t empty = stats();
        const uint32_t dom_blocks_before = count_domain_blocks();
        uint32_t step = 0;
        for (; step < steps; ++step) {
            const uint32_t s = pool[rng() % pool.size()];
            const bool present = m.devices.count(s) != 0;
            const uint32_t r = rng() % 100;
            if (present && r < 45) {
                const auto got = remove(s, 1);
                const auto want = m.remove(s, true);
                ASSERT_EQ(got, want) << "removal message at step " << step;
            } else {
                const bool load = wild && !present && r < 40;
                Payload p = wild ? payload(rng, s) : fabric_payload(rng, g, s, present);
                ASSERT_EQ(insert(p, load ? 0 : 1), 0) << "step " << step;
                m.insert(p.src(), p.dests(), !load);
            }
            ASSERT_NO_FATAL_FAILURE(check(m, step));
            if (!wild) {
                ASSERT_NO_FATAL_FAILURE(check_symmetry(m, g, step));
            }
            if (std::chrono::steady_clock::now() - start > budget) {
                ++step;
                break;
            }
        }
        RecordProperty("steps", static_cast<int>(step));
        if (step < steps) {
            std::printf("sequence %u stopped after %u of %u steps (time budget)\n", seed, step, steps);
        } else if (steps >= 500) {
            // A full sequence reaches the shapes it is meant to exercise.
            EXPECT_GE(most_domain_blocks, 2u) << "a crowded domain needs a second DomDb block";
            EXPECT_GE(most_chain_blocks, 3u) << "some device's chain spans three DestDb blocks";
        }

        // Everything goes: only the DomDb blocks stay, empty, and the
        // segment holds exactly what it held before plus those blocks.
        std::vector<uint32_t> left;
        for (const auto &[p, unused] : m.devices) {
            (void)unused;
            left.push_back(p);
        }
        std::shuffle(left.begin(), left.end(), rng);
        for (const uint32_t p : left) {
            ASSERT_EQ(remove(p, 1), m.remove(p, true));
        }
        ASSERT_NO_FATAL_FAILURE(check(m, step));
        for (const uint32_t dom : domains_used)
            for (const DomDb *b : domain_chain(dom))
                EXPECT_EQ(b->num_pids, 0u);
        const uint32_t dom_blocks = count_domain_blocks() - dom_blocks_before;
        const gshm_stats_t after = stats();
        EXPECT_EQ(after.blocks_in_use, empty.blocks_in_use + dom_blocks) << "no block of a chain is left";
        uint64_t live_bytes = 0; // bytes of the blocks themselves
        for (uint32_t i = 0; i < empty.num_classes; ++i)
            live_bytes += uint64_t{empty.class_size[i]} * empty.class_in_use[i];
        const uint64_t per_block = (empty.bytes_in_use - live_bytes) / empty.blocks_in_use;
        uint32_t domdb_class = 0;
        for (uint32_t i = 0; i < after.num_classes; ++i) {
            if (after.class_size[i] >= sizeof(DomDb) && after.class_size[i] < sizeof(DomDb) + 8)
                domdb_class = after.class_size[i];
            if (after.class_size[i] == sizeof(DestDb)) {
                EXPECT_EQ(after.class_in_use[i], 0u) << "a DestDb block leaked";
            }
        }
        ASSERT_NE(domdb_class, 0u);
        EXPECT_EQ(after.bytes_in_use, empty.bytes_in_use + dom_blocks * (domdb_class + per_block));
    }

    uint32_t count_domain_blocks()
    {
        uint32_t n = 0;
        for (const uint32_t dom : domains_used)
            n += static_cast<uint32_t>(domain_chain(dom).size());
        return n;
    }

    std::vector<uint32_t> pool;
    std::set<uint32_t> domains_used;
    size_t most_domain_blocks = 0;
    size_t most_chain_blocks = 0;
};

class MixedSequence : public StoreModelTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(MixedSequence, MatchesTheModel) { run(GetParam(), true); }

INSTANTIATE_TEST_SUITE_P(Seeds, MixedSequence, ::testing::Values(11u, 2024u, 90210u));

class FabricSequence : public StoreModelTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(FabricSequence, MatchesTheModelAndStaysSymmetric) { run(GetParam(), false); }

INSTANTIATE_TEST_SUITE_P(Seeds, FabricSequence, ::testing::Values(7u));

} // namespace
