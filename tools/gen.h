// gen.h - generated fabrics: initiators and targets spread over domains,
// each initiator zoned with a few targets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fabric.h"

namespace vorel::tool {

struct GenOptions {
    uint32_t devices = 300;
    uint32_t domains = 4;
    uint32_t first_domain = 1;    // domains first_domain .. first_domain + domains - 1
    uint32_t target_percent = 20; // share of the devices that are targets
    uint32_t targets_per_initiator = 4;
    uint64_t seed = 1;
};

// Flags the generator gives its devices.
inline constexpr uint32_t kFlagInitiator = 0x1;
inline constexpr uint32_t kFlagTarget = 0x2;

// Checks the options; the reason when they cannot make a fabric.
std::optional<std::string> gen_problem(const GenOptions &opt);

// The same options and seed give the same fabric on every machine.  Device k
// lives in domain first_domain + k % domains.  Each initiator gets its own
// zone with each of its targets (two members a zone), so initiators see
// their targets and targets their initiators.  The switch's own domain is
// first_domain.
Fabric generate_fabric(const GenOptions &opt);

} // namespace vorel::tool
