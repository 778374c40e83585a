// consumer.cpp - a small C++ program that uses an installed libvorel through
// the header-only layer vorel.hpp.
#include <cstdio>
#include <vector>

#include <vorel.hpp>

int main()
{
    if (vorellibInit() != 0 || initVorelSrvr() != 0) {
        std::fprintf(stderr, "consumer: cannot create the database\n");
        return 1;
    }
    // The fabric view says which domains the enumeration walks; a real
    // switch platform keeps it, here the program sets it.
    const uint8_t domains[] = {1, 2};
    fabricSetView(getMySwitch(), 1, domains, 2);
    std::vector<DevInfo> targets(4);
    for (uint32_t k = 0; k < targets.size(); ++k) {
        targets[k] = DevInfo{0x020100 + k, 0, 16, 0, {}};
        devconpld t{0, targets[k], 0, nullptr, 0};
        addPidToVorel(&t, static_cast<uint32_t>(vorel::UpdateType::DevOnline), 0);
    }
    devconpld initiator{0, DevInfo{0x010100, 1, 32, 0, {}}, static_cast<int32_t>(targets.size()), targets.data(), 0};
    addPidToVorel(&initiator, static_cast<uint32_t>(vorel::UpdateType::DevOnline), 0);

    int devices = 0;
    {
        vorel::ReadLock lock;
        if (auto p = vorel::lookup(0x010100)) {
            std::printf("device %06x:", p->pid());
            for (const DevInfo &d : p->destinations())
                std::printf(" %06x", d.pid);
            std::printf("\n");
        }
    }
    vorel::for_each_device([&](const devconpld &) { ++devices; });
    std::printf("%d devices, %u counted by the header\n", devices, vorel::count().value_or(0));
    vorellibUnInit();
    return devices == 5 ? 0 : 1;
}
