// store_fixture.h - a store of one switch instance for tests: the library
// started for the instance, the segment created as the server does, a fabric
// view, payload builders, direct views of the segment's chains, and a capture
// of the library's trace records.
//
//   class MyTest : public vtest::StoreFixture {};
//   TEST_F(MyTest, Something) {
//       vtest::Payload p(0x010100, {0x010200, 0x020300});
//       ASSERT_EQ(insert(p), 0);
//       auto rec = lookup(0x010100);
//       ...
//   }
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vorel_db.h"

namespace vtest {

// A DevInfo whose every field derives from the PID (and `salt`), so a copy of
// the wrong record, or of part of one, is visible in any field.
DevInfo dev_of(uint32_t pid, uint32_t salt = 0);

// A device payload that owns its destination array.
class Payload {
  public:
    Payload(const DevInfo &src, std::vector<DevInfo> dests, int32_t update_type = 0);
    // Source and destinations made with dev_of().
    Payload(uint32_t src_pid, const std::vector<uint32_t> &dest_pids);
    Payload(const Payload &other);
    Payload &operator=(const Payload &other);

    devconpld *get() { return &pld_; }
    const DevInfo &src() const { return pld_.src_dev; }
    const std::vector<DevInfo> &dests() const { return dests_; }

  private:
    void bind();
    std::vector<DevInfo> dests_;
    devconpld pld_{};
};

// One device as the store holds it, read through walk_chain.
struct StoredChain {
    uint32_t pid = 0;
    int32_t head_total = 0;                   // num_dstdevices of the head block
    std::vector<DevInfo> block_src;           // src_dev of each block
    std::vector<std::vector<DevInfo>> blocks; // used slots of each block
    std::vector<DevInfo> flat() const;        // destinations in chain order
};

// One record of the library's trace.
struct TraceRecord {
    int level = 0;
    std::string text; // the formatted message without its final line feed
};

// Captures the trace records that the library writes while it lives, at
// the given level (5 shows everything).  Restores level and destination
// afterwards.
class TraceCapture {
  public:
    explicit TraceCapture(int level = 5);
    ~TraceCapture();
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    std::vector<TraceRecord> records() const;
    // Records with the "name():" lines of pairs dropped, as "L<level> text".
    std::vector<std::string> messages() const;
    // The "L<level> name(): text" lines of every pair and the single
    // entry/exit records as "L4 name()->Enter".
    std::vector<std::string> lines() const;
    // True when a record of that level has exactly that text.
    bool has(int level, const std::string &text) const;
    // Forgets what was captured so far.
    void clear();

  private:
    std::string path_;
    std::string old_file_;
    bool had_file_ = false;
    int old_level_ = 1;
};

// Reads and writes stdout as a string while it lives (fd 1 goes to a file).
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    // Flushes stdout and returns everything written since the capture began;
    // the capture ends.
    std::string finish();

  private:
    int saved_ = -1;
    std::string path_;
    bool done_ = false;
};

// The fixture: the library started for `instance()`, the segment created
// with initVorelSrvr, an empty fabric view with local domain 1.
class StoreFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The switch instance the test runs as.
    virtual int instance() const { return 0; }

    // The fabric view of the instance: the local domain and the list of
    // domains that the enumeration and the dump walk, in that order.
    void set_fabric(int my_domain, const std::vector<uint8_t> &domains);

    // Store operations as the server runs them: under the write lock.
    int32_t insert(Payload &p, uint32_t sync_peers = 1);
    // The removal's message as a vector {pid, n, d1..dn}; nullopt for NULL.
    std::optional<std::vector<uint32_t>> remove(uint32_t pid, uint32_t sync_peers = 1);
    // getPidFromVorel: the payload's src_dev and destinations; nullopt when
    // the lookup fails (its result in *rc when given).
    struct Record {
        DevInfo src{};
        int32_t num_dstdevices = 0;
        std::vector<DevInfo> dests;
    };
    std::optional<Record> lookup(uint32_t pid, int32_t *rc = nullptr);

    // Direct views of the segment.
    VorelHdr *header();
    gadd_t domain_first(uint32_t dom);
    std::vector<const DomDb *> domain_chain(uint32_t dom);
    // The PIDs filed in a domain, in chain and slot order.
    std::vector<uint32_t> domain_pids(uint32_t dom);
    StoredChain chain_of(uint32_t pid);
    gshm_stats_t stats();
};

// Equality of whole DevInfo records (all 28 bytes).
bool same_dev(const DevInfo &a, const DevInfo &b);

// PIDs of a list of DevInfo records.
std::vector<uint32_t> pids_of(const std::vector<DevInfo> &devs);

} // namespace vtest
