// store_fixture.h - a store of one switch instance for tests: the library
// started for the instance, the segment created as the server does, an empty
// fabric view, and payloads that own their destination arrays.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "vorel_db.h"

namespace vtest {
// Every field derives from the PID and `salt`: a wrong or partial copy shows.
DevInfo dev_of(uint32_t pid, uint32_t salt = 0);

// A device payload; from PIDs, source and destinations are made with dev_of().
class Payload {
  public:
    Payload(const DevInfo &src, std::vector<DevInfo> dests);
    Payload(uint32_t src_pid, const std::vector<uint32_t> &dest_pids);
    Payload(const Payload &) = delete;
    Payload &operator=(const Payload &) = delete;
    devconpld *get() { return &pld_; }

  private:
    std::vector<DevInfo> dests_;
    devconpld pld_{};
};

class StoreFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    virtual int instance() const { return 0; }
    void set_fabric(int my_domain, const std::vector<uint8_t> &domains);

    // Insertion as the server runs it: under the write lock.
    int32_t insert(Payload &p, uint32_t sync_peers = 1);
    struct Record {
        DevInfo src{};
        std::vector<DevInfo> dests;
    };
    // getPidFromVorel; nullopt when the lookup fails.
    std::optional<Record> lookup(uint32_t pid);
    VorelHdr *header() { return getVorelHdr(); }
    gadd_t domain_first(uint32_t dom);
};

} // namespace vtest
