// workload.h - the fabric every benchmark runs on, and the operation
// sequences, all generated before anything is timed and identical for the
// library and for the baselines it is measured against.
//
// Fabric of N devices spread over 64 domains (device i is in domain
// 1 + i % 64); every fifth device is a target, every other device an
// initiator connected to 4 distinct random targets.  Connectivity is
// symmetric: a target lists the initiators connected to it, in the order in
// which they were connected.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <vorel.h>

namespace vbench {

constexpr uint32_t kDomains = 64;
constexpr uint32_t kTargetEvery = 5; // 20% targets
constexpr uint32_t kLinksPerInitiator = 4;

inline uint32_t pid_of(uint32_t index) { return (1 + index % kDomains) << 16 | index / kDomains; }
inline uint32_t index_of(uint32_t pid) { return ((pid >> 16) - 1) + kDomains * (pid & 0xFFFFu); }
inline bool is_target(uint32_t index) { return index % kTargetEvery == 0; }

inline DevInfo dev_of(uint32_t pid)
{
    DevInfo d{};
    d.pid = pid;
    d.ind = static_cast<int16_t>(pid & 0x7FFF);
    d.spd = 32;
    d.devflags = pid ^ 0xF00Du;
    return d;
}

struct Fabric {
    uint32_t devices = 0;
    std::vector<uint32_t> targets;            // PIDs
    std::vector<uint32_t> initiators;         // PIDs
    std::vector<std::vector<uint32_t>> links; // by device index, symmetric
};

// 4 distinct random targets.
inline std::vector<uint32_t> draw_targets(const Fabric &f, std::mt19937 &rng)
{
    std::vector<uint32_t> out;
    while (out.size() < kLinksPerInitiator) {
        const uint32_t t = f.targets[rng() % f.targets.size()];
        if (std::find(out.begin(), out.end(), t) == out.end())
            out.push_back(t);
    }
    return out;
}

inline Fabric make_fabric(uint32_t devices)
{
    Fabric f;
    f.devices = devices;
    f.links.resize(devices);
    for (uint32_t i = 0; i < devices; ++i)
        (is_target(i) ? f.targets : f.initiators).push_back(pid_of(i));
    std::mt19937 rng(devices);
    for (const uint32_t s : f.initiators) {
        const std::vector<uint32_t> mine = draw_targets(f, rng);
        f.links[index_of(s)] = mine;
        for (const uint32_t t : mine)
            f.links[index_of(t)].push_back(s);
    }
    return f;
}

// Every device with its complete destination list, laid out as the bulk
// operations take it: one array of devconpld records whose destination
// arrays live in one shared vector.
class DeviceList {
  public:
    explicit DeviceList(const Fabric &f)
    {
        std::size_t total = 0;
        for (const auto &l : f.links)
            total += l.size();
        dests_.reserve(total);
        records_.resize(f.devices);
        std::vector<std::size_t> first(f.devices);
        for (uint32_t i = 0; i < f.devices; ++i) {
            first[i] = dests_.size();
            for (const uint32_t p : f.links[i])
                dests_.push_back(dev_of(p));
        }
        for (uint32_t i = 0; i < f.devices; ++i) {
            devconpld &r = records_[i];
            r.src_dev = dev_of(pid_of(i));
            r.num_dstdevices = static_cast<int32_t>(f.links[i].size());
            r.dst_devices = dests_.data() + first[i];
        }
    }
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;

    std::vector<devconpld> &records() { return records_; }
    bulkconpld list()
    {
        bulkconpld l{};
        l.num_devices = static_cast<int32_t>(records_.size());
        l.devices = records_.data();
        return l;
    }

  private:
    std::vector<DevInfo> dests_;
    std::vector<devconpld> records_;
};

// One update: an initiator with its complete new list of 4 targets.
struct Update {
    DevInfo src{};
    std::vector<DevInfo> dests;
    devconpld payload() const
    {
        devconpld p{};
        p.src_dev = src;
        p.num_dstdevices = static_cast<int32_t>(dests.size());
        p.dst_devices = const_cast<DevInfo *>(dests.data());
        return p;
    }
};

inline std::vector<Update> make_updates(const Fabric &f, std::size_t count, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<Update> seq;
    seq.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        Update u;
        u.src = dev_of(f.initiators[rng() % f.initiators.size()]);
        for (const uint32_t t : draw_targets(f, rng))
            u.dests.push_back(dev_of(t));
        seq.push_back(std::move(u));
    }
    return seq;
}

// Random PIDs of the fabric.
inline std::vector<uint32_t> make_lookups(const Fabric &f, std::size_t count, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint32_t> seq(count);
    for (uint32_t &p : seq)
        p = pid_of(rng() % f.devices);
    return seq;
}

// What the shared blocks of a store of this fabric add up to: the 8-byte
// header, one 2060-byte DomDb per 256 devices of a domain, one 1832-byte
// DestDb per 64 destinations of a device (at least one).
inline uint64_t block_arithmetic(const Fabric &f)
{
    uint64_t per_domain[kDomains + 1] = {};
    uint64_t bytes = 8;
    for (uint32_t i = 0; i < f.devices; ++i) {
        ++per_domain[1 + i % kDomains];
        const uint64_t n = f.links[i].size();
        bytes += 1832 * (n == 0 ? 1 : (n + 63) / 64);
    }
    for (const uint64_t n : per_domain)
        bytes += 2060 * ((n + 255) / 256);
    return bytes;
}

} // namespace vbench
