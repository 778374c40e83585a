// The database verifier: a healthy store passes; segments corrupted block by
// block through the platform are reported with the PID and chain involved.
#include <gtest/gtest.h>

#if defined(VOREL_HAVE_TOOL) || defined(VOREL_HAVE_VERIFIER)

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "store_fixture.h"
#include "verify.h"

namespace {
using vorel::tool::FindingKind;
using vorel::tool::Severity;
using vorel::tool::verify_store;
using vorel::tool::VerifyReport;

constexpr uint32_t pid(uint32_t dom, uint32_t area, uint32_t port) { return dom << 16 | area << 8 | port; }

// Domain 5 holds 260 devices (two DomDb blocks), domain 6 three; the hub
// 0x060100 links 130 of domain 5 (three DestDb blocks), each linking back.
constexpr uint32_t kHub = pid(6, 1, 0);
constexpr uint32_t kDomain5 = 260;
constexpr uint32_t kHubLinks = 130;

uint32_t dev5(uint32_t i) { return pid(5, 1 + i / 256, i % 256); }

// The findings of one kind.
std::vector<vorel::tool::Finding> of_kind(const VerifyReport &r, FindingKind k)
{
    std::vector<vorel::tool::Finding> out;
    for (const auto &f : r.findings)
        if (f.kind == k)
            out.push_back(f);
    return out;
}

class VerifyTest : public vtest::StoreFixture {
  public: // the corruptions reach the blocks through these
    using vtest::StoreFixture::header;
    void SetUp() override
    {
        vtest::StoreFixture::SetUp();
        if (HasFatalFailure())
            return;
        std::vector<std::pair<uint32_t, std::vector<uint32_t>>> devices{
            {pid(6, 1, 1), {}}, {pid(6, 1, 2), {}}, {kHub, {}}};
        for (uint32_t i = 0; i < kDomain5; ++i) {
            devices.insert(devices.end() - 3, {dev5(i), {}});
            if (i < kHubLinks)
                devices.back().second.push_back(dev5(i));
        }
        for (const auto &[source, peers] : devices) {
            vtest::Payload p(source, peers);
            ASSERT_EQ(insert(p), 0);
        }
    }

    template <class T> T *at(gadd_t g)
    {
        T *p = nullptr;
        EXPECT_EQ(vorel::resolve(g, &p), 0);
        return p;
    }
    DomDb *domain_block(uint32_t dom, size_t index)
    {
        gadd_t g = domain_first(dom);
        for (size_t i = 0; i < index && g != 0; ++i)
            g = at<DomDb>(g)->next_gadd;
        return g == 0 ? nullptr : at<DomDb>(g);
    }
    DomDbEntry *entry_of(uint32_t p)
    {
        for (gadd_t g = domain_first(vorel::domain_of(p)); g != 0;) {
            DomDb *b = at<DomDb>(g);
            for (uint32_t s = 0; s < b->num_pids; ++s)
                if (b->pid_tbl[s].pid == p)
                    return &b->pid_tbl[s];
            g = b->next_gadd;
        }
        return nullptr;
    }
    // The blocks of a PID's chain with their global addresses.
    std::vector<std::pair<gadd_t, DestDb *>> chain_blocks(uint32_t p)
    {
        std::vector<std::pair<gadd_t, DestDb *>> out;
        for (gadd_t g = entry_of(p)->gadd; g != 0; g = out.back().second->next_gadd)
            out.emplace_back(g, at<DestDb>(g));
        return out;
    }
};

TEST_F(VerifyTest, HealthyStorePassesAndEveryBlockIsCounted)
{
    const VerifyReport r = verify_store(true);
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(r.findings.empty()) << r.findings.front().message;
    EXPECT_EQ(r.stored_pids, kDomain5 + 3);
    EXPECT_EQ(r.domdb_blocks, 3u);                 // 256 + 4 in domain 5, 3 in domain 6
    EXPECT_EQ(r.destdb_blocks, kDomain5 + 2 + 3u); // the hub's chain has 64 + 64 + 2
    EXPECT_EQ(r.links, 2u * kHubLinks);
}

// One corruption of the segment and what the verifier must say about it.
struct Corruption {
    const char *name;
    std::function<void(VerifyTest &)> apply;
    FindingKind kind;
    uint32_t pid;      // the PID the finding names (0: none)
    const char *chain; // text its chain must contain
};

void PrintTo(const Corruption &c, std::ostream *os) { *os << c.name; }

class VerifyCorruption : public VerifyTest, public ::testing::WithParamInterface<Corruption> {};

TEST_P(VerifyCorruption, IsReportedAsViolationWithPidAndChain)
{
    GetParam().apply(*this);
    const VerifyReport r = verify_store();
    ASSERT_EQ(r.status, 0);
    const auto found = of_kind(r, GetParam().kind);
    ASSERT_FALSE(found.empty()) << "no " << vorel::tool::kind_name(GetParam().kind) << " finding";
    const auto &f = found.front();
    EXPECT_EQ(f.severity, Severity::Violation);
    EXPECT_EQ(f.pid, GetParam().pid) << f.message;
    EXPECT_NE(f.chain.find(GetParam().chain), std::string::npos) << f.chain;
    EXPECT_FALSE(r.passed(false));
}

const Corruption kCorruptions[] = {
    {"HeadCountAboveChainSum", [](VerifyTest &t) { t.chain_blocks(kHub)[0].second->num_dstdevices += 1; },
     FindingKind::DestCount, kHub, "chain of 0x060100, block 0"},
    {"DomainFieldOfSecondBlock", [](VerifyTest &t) { t.domain_block(5, 1)->domain = 9; }, FindingKind::DomainField, 0,
     "domain 5 chain, block 1"},
    {"PidStoredTwice",
     [](VerifyTest &t) {
         DomDb *b = t.domain_block(6, 0);
         b->pid_tbl[b->num_pids] = b->pid_tbl[0];
         b->num_pids += 1;
         t.header()->total_pids += 1;
     },
     FindingKind::DuplicatePid, pid(6, 1, 1), "domain 6 chain, block 0 (gadd 0x"},
    {"TotalPidsOff", [](VerifyTest &t) { t.header()->total_pids += 2; }, FindingKind::TotalPids, 0, "header"},
    {"DestinationSlotsOverPacked", [](VerifyTest &t) { t.chain_blocks(kHub)[2].second->blk_num_dest = 65; },
     FindingKind::SlotsOverflow, kHub, "chain of 0x060100, block 2"},
    {"DomainSlotsOverPacked", [](VerifyTest &t) { t.domain_block(6, 0)->num_pids = 300; }, FindingKind::SlotsOverflow,
     0, "domain 6 chain, block 0"},
    {"ChainLoopsBackToHead",
     [](VerifyTest &t) {
         auto blocks = t.chain_blocks(kHub);
         blocks.back().second->next_gadd = blocks.front().first;
     },
     FindingKind::BlockReused, kHub, "chain of 0x060100, block 3"},
    {"NextBlockUnresolvable", [](VerifyTest &t) { t.chain_blocks(kHub)[0].second->next_gadd = 0xFFFFFFF0u; },
     FindingKind::Unreadable, kHub, "chain of 0x060100, block 1 (gadd 0xfffffff0)"},
    {"BlockOfAnotherDevice", [](VerifyTest &t) { t.chain_blocks(kHub)[1].second->src_dev.pid = dev5(3); },
     FindingKind::ChainOwner, kHub, "chain of 0x060100, block 1"},
    {"PidFiledInAnotherDomain", [](VerifyTest &t) { t.entry_of(dev5(40))->pid = pid(7, 1, 1); },
     FindingKind::WrongDomain, pid(7, 1, 1), "domain 5 chain, block 0 (gadd 0x"},
};

INSTANTIATE_TEST_SUITE_P(Segment, VerifyCorruption, ::testing::ValuesIn(kCorruptions),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace

#else

TEST(Verify, NeedsTheVerifier) { GTEST_SKIP() << "the vorel tool is not part of this build"; }

#endif
