// store_model.h - a plain model of the connectivity store (each domain's
// DomDb blocks slot by slot, each device's DestDb blocks record by record),
// header-only and free of gtest.  Its rules: a new PID takes the first
// domain block with room (256) or a new one at the end; a removal closes the
// gap and leaves empty blocks; a device's list fills blocks of 64 in order; a
// reverse link goes into the peer's first block with room, or a new one
// whose src_dev is the payload's record of the peer, never twice; a domain
// removal takes devices out block by block and keeps only the first block.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "vorel.h"

namespace vmodel {
inline uint32_t domain_of(uint32_t pid) { return (pid >> 16) & 0xFFu; }

struct MBlock {
    DevInfo src{};
    std::vector<DevInfo> slots;
};

struct MDevice {
    std::vector<MBlock> blocks; // never empty

    int32_t count() const
    {
        int32_t n = 0;
        for (const MBlock &b : blocks)
            n += static_cast<int32_t>(b.slots.size());
        return n;
    }
    // Destinations in chain order.
    std::vector<DevInfo> flat() const
    {
        std::vector<DevInfo> out;
        for (const MBlock &b : blocks)
            out.insert(out.end(), b.slots.begin(), b.slots.end());
        return out;
    }
    bool lists(uint32_t pid) const
    {
        for (const MBlock &b : blocks)
            for (const DevInfo &d : b.slots)
                if (d.pid == pid)
                    return true;
        return false;
    }
};

class StoreModel {
  public:
    static constexpr size_t kPidsPerBlock = 256;
    static constexpr size_t kDestsPerBlock = 64;

    std::map<uint32_t, MDevice> devices;
    std::map<uint32_t, std::vector<std::vector<uint32_t>>> domains; // domain -> blocks of PIDs
    uint32_t total = 0;

    bool has(uint32_t pid) const { return devices.count(pid) != 0; }

    // The removal's message {pid, n, destinations...}; nothing when not stored.
    std::optional<std::vector<uint32_t>> remove(uint32_t pid, bool sync)
    {
        auto dom = domains.find(domain_of(pid));
        if (dom == domains.end())
            return std::nullopt;
        bool filed = false;
        for (auto &b : dom->second) {
            if (auto it = std::find(b.begin(), b.end(), pid); it != b.end()) {
                b.erase(it);
                filed = true;
                break;
            }
        }
        if (!filed)
            return std::nullopt;
        const MDevice dev = devices.at(pid);
        devices.erase(pid);
        std::vector<uint32_t> msg{pid, static_cast<uint32_t>(dev.count())};
        for (const DevInfo &d : dev.flat()) {
            msg.push_back(d.pid);
            if (sync)
                unlink(d.pid, pid);
        }
        --total;
        return msg;
    }

    void insert(const DevInfo &src, std::span<const DevInfo> dests, bool sync)
    {
        const uint32_t pid = src.pid;
        if (sync)
            (void)remove(pid, true);
        auto &blocks = domains[domain_of(pid)];
        auto room = std::find_if(blocks.begin(), blocks.end(), [](const auto &b) { return b.size() < kPidsPerBlock; });
        if (room == blocks.end())
            blocks.push_back({pid});
        else
            room->push_back(pid);
        MDevice dev;
        for (size_t i = 0; i == 0 || i < dests.size(); i += kDestsPerBlock) {
            const size_t end = std::min(dests.size(), i + kDestsPerBlock);
            dev.blocks.push_back(MBlock{src, {dests.begin() + std::min(i, end), dests.begin() + end}});
        }
        devices[pid] = std::move(dev);
        ++total;
        if (!sync)
            return;
        for (const DevInfo &rec : dests) {
            auto peer = devices.find(rec.pid);
            if (peer == devices.end() || peer->second.lists(pid))
                continue;
            auto &pb = peer->second.blocks;
            auto free =
                std::find_if(pb.begin(), pb.end(), [](const MBlock &b) { return b.slots.size() < kDestsPerBlock; });
            if (free != pb.end())
                free->slots.push_back(src);
            else
                pb.push_back(MBlock{rec, {src}});
        }
    }

    // Removes the domain's devices; the messages (one per block with devices).
    uint32_t remove_domain(uint32_t dom)
    {
        auto it = domains.find(dom);
        if (it == domains.end() || it->second.empty())
            return 0;
        uint32_t messages = 0;
        for (size_t b = 0; b < it->second.size(); ++b) {
            const std::vector<uint32_t> pids = it->second[b];
            if (pids.empty())
                continue;
            ++messages;
            for (const uint32_t pid : pids)
                (void)remove(pid, true);
        }
        it->second.resize(1);
        it->second.front().clear();
        return messages;
    }

  private:
    // Takes `pid` out of the first block of `owner`'s chain that lists it.
    void unlink(uint32_t owner, uint32_t pid)
    {
        auto peer = devices.find(owner);
        if (peer == devices.end())
            return;
        for (MBlock &b : peer->second.blocks) {
            auto it = std::find_if(b.slots.begin(), b.slots.end(), [&](const DevInfo &x) { return x.pid == pid; });
            if (it != b.slots.end()) {
                b.slots.erase(it);
                return;
            }
        }
    }
};

} // namespace vmodel
