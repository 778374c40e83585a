// gen.cpp - the fabric generator.  It uses its own pseudo-random sequence
// (splitmix64) so a seed means the same fabric everywhere.
#include "gen.h"

#include <algorithm>

#include "pid.h"

namespace vorel::tool {

namespace {

constexpr uint32_t kMaxDomain = 239;       // highest domain a fabric assigns
constexpr uint32_t kPerDomain = 255 * 256; // areas 1..255, ports 0..255

class Sequence {
  public:
    explicit Sequence(uint64_t seed) : state_(seed) {}
    uint64_t next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }

  private:
    uint64_t state_;
};

bool is_target(uint64_t k, uint32_t percent) { return (k + 1) * percent / 100 > k * percent / 100; }

} // namespace

std::optional<std::string> gen_problem(const GenOptions &opt)
{
    if (opt.domains < 1 || opt.first_domain < 1 || opt.first_domain + opt.domains - 1 > kMaxDomain)
        return "domains must lie in 1.." + std::to_string(kMaxDomain);
    if (uint64_t(opt.devices) > uint64_t(opt.domains) * kPerDomain)
        return "at most " + std::to_string(kPerDomain) + " devices fit in one domain";
    if (opt.target_percent > 100)
        return "the target share is a percentage (0..100)";
    return std::nullopt;
}

Fabric generate_fabric(const GenOptions &opt)
{
    Fabric f;
    f.domain = opt.first_domain;
    for (uint32_t d = 0; d < opt.domains; ++d)
        f.domains.push_back(static_cast<uint8_t>(opt.first_domain + d));

    Sequence seq(opt.seed);
    static constexpr uint16_t kSpeeds[] = {8, 16, 32, 64};
    std::vector<uint32_t> targets;
    std::vector<uint32_t> initiators;
    f.devices.reserve(opt.devices);
    for (uint32_t k = 0; k < opt.devices; ++k) {
        const uint32_t domain = opt.first_domain + k % opt.domains;
        const uint32_t slot = k / opt.domains; // place within the domain
        DevInfo d{};
        d.pid = (domain << 16) | ((1 + slot / 256) << 8) | (slot % 256);
        d.ind = static_cast<int16_t>(slot % 32768);
        d.spd = kSpeeds[seq.below(4)];
        d.devflags = is_target(k, opt.target_percent) ? kFlagTarget : kFlagInitiator;
        (d.devflags == kFlagTarget ? targets : initiators).push_back(d.pid);
        f.devices.push_back(d);
    }
    const uint32_t per = std::min<uint32_t>(opt.targets_per_initiator, static_cast<uint32_t>(targets.size()));
    if (per == 0)
        return f;
    // Single-initiator, single-target zones: an initiator sees its targets,
    // a target its initiators, and targets do not see each other.
    f.zones.reserve(size_t{initiators.size()} * per);
    std::vector<uint32_t> chosen;
    for (const uint32_t init : initiators) {
        chosen.clear();
        while (chosen.size() < per) {
            const uint32_t t = targets[seq.below(static_cast<uint32_t>(targets.size()))];
            if (std::find(chosen.begin(), chosen.end(), t) == chosen.end())
                chosen.push_back(t);
        }
        for (const uint32_t t : chosen)
            f.zones.push_back(Zone{"z_" + pid_hex(init).substr(2) + "_" + pid_hex(t).substr(2), {init, t}});
    }
    return f;
}

} // namespace vorel::tool
