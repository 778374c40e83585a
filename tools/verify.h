// verify.h - the database verifier: walks every block of a switch instance's
// segment and reports each broken invariant with the PID and chain involved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vorel.h"

namespace vorel::tool {

enum class Severity { Violation, Warning };

// What a finding is about.  Violations are corruption; warnings are states
// that the initial load and the bulk removal leave by design.  [n] is the
// number of the store's invariant that the finding breaks (src/vorel_db.h).
enum class FindingKind {
    Unreadable,    // [4] a basic block or block address that cannot be resolved
    BlockReused,   // [4] a block reached twice (a loop, or two chains sharing it)
    DomainField,   // [4] a DomDb block whose domain is not its chain's domain
    WrongDomain,   // [2] a PID filed in another domain's chain
    SlotsOverflow, // [3] num_pids above 256 or blk_num_dest outside 0..64
    DuplicatePid,  // [2] a PID stored twice
    NoChain,       // [3] a PID whose entry has no head DestDb block
    ChainOwner,    // [3] a DestDb block whose src_dev is another PID
    DestCount,     // [3] head num_dstdevices differs from the chain's sum of blk_num_dest
    TotalPids,     // [2] header total_pids differs from the PIDs stored
    PeerAbsent,    // [1] warning: a destination that is not in the store
    OneWay,        // [1] warning: a destination that does not list the device back
    DuplicateDest, // [1] warning: a destination listed twice in one chain
};

const char *kind_name(FindingKind kind);

struct Finding {
    Severity severity = Severity::Violation;
    FindingKind kind = FindingKind::Unreadable;
    uint32_t pid = 0;  // the device involved (0: none)
    uint32_t peer = 0; // the other device of a link (0: none)
    std::string chain; // where: "domain 1 chain block 2 (gadd 0x...) slot 7", "chain of 0x010100 block 1 ..."
    std::string message;
};

// One stored device as the walk read it (for writers such as dot).
struct StoredDevice {
    uint32_t pid = 0;
    DevInfo info{};             // src_dev of the head block
    std::vector<DevInfo> dests; // in chain order
};

struct VerifyReport {
    int32_t status = 0; // 0, or VOREL_E_UNINIT / VOREL_E_NOHDR: nothing was walked
    uint32_t total_pids = 0;
    uint32_t sync_done = 0;
    uint32_t stored_pids = 0;
    uint32_t domains = 0;
    uint32_t domdb_blocks = 0;
    uint32_t destdb_blocks = 0;
    uint64_t links = 0;
    std::vector<Finding> findings;
    std::vector<StoredDevice> devices; // filled when asked for

    size_t violations() const;
    size_t warnings() const;
    // Every invariant holds (and, when strict, nothing was warned about).
    bool passed(bool strict) const;
};

// Verifies the database of the calling process's switch instance, which
// must be attached; holds the read lock for the whole walk.  With
// `keep_devices` the report also carries every stored device.
VerifyReport verify_store(bool keep_devices = false);

} // namespace vorel::tool
