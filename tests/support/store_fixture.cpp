// store_fixture.cpp - see store_fixture.h.
#include "store_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "lock.h"

namespace vtest {
DevInfo dev_of(uint32_t pid, uint32_t salt)
{
    DevInfo d{};
    const uint32_t mix = (pid * 2654435761u) ^ (salt * 40503u);
    d.pid = pid;
    d.ind = static_cast<int16_t>(mix & 0x3FFF);
    d.spd = static_cast<uint16_t>(1 + (mix >> 14) % 128);
    d.devflags = mix ^ 0x5A5A0000u;
    for (int i = 0; i < 16; ++i)
        d.dev_extra[i] = static_cast<uint8_t>(mix >> (i % 4 * 8)) ^ static_cast<uint8_t>(i);
    return d;
}

Payload::Payload(uint32_t src_pid, const std::vector<uint32_t> &dest_pids) : Payload(dev_of(src_pid), {})
{
    for (const uint32_t d : dest_pids)
        dests_.push_back(dev_of(d));
    pld_.num_dstdevices = static_cast<int32_t>(dests_.size());
    pld_.dst_devices = dests_.empty() ? nullptr : dests_.data();
}

Payload::Payload(const DevInfo &src, std::vector<DevInfo> dests) : dests_(std::move(dests))
{
    pld_.src_dev = src;
    pld_.num_dstdevices = static_cast<int32_t>(dests_.size());
    pld_.dst_devices = dests_.empty() ? nullptr : dests_.data();
}

void StoreFixture::SetUp()
{
    // Error records of expected failures stay out of the test's output.
    if (std::getenv("VOREL_TRACE_FILE") == nullptr)
        setenv("VOREL_TRACE_FILE", "/dev/null", 1);
    setMySwitch(instance());
    ASSERT_EQ(vorellibInit(), 0);
    // A segment left behind by an earlier test of this program is not reused.
    (void)gshm_remove(vorel::ctx()->shm_key);
    ASSERT_EQ(initVorelSrvr(), 0);
    set_fabric(1, {});
}

void StoreFixture::TearDown()
{
    plat_fail_reset();
    if (VorelPartCtx *c = vorel::ctx(); c != nullptr) {
        const key_t key = c->shm_key;
        (void)vorellibUnInit();
        (void)gshm_remove(key);
    }
    (void)fabricClearView(instance());
    setMySwitch(-1);
}

void StoreFixture::set_fabric(int my_domain, const std::vector<uint8_t> &domains)
{
    ASSERT_EQ(fabricSetView(instance(), my_domain, domains.data(), static_cast<int>(domains.size())), 0);
}

int32_t StoreFixture::insert(Payload &p, uint32_t sync_peers)
{
    vorel::WriteLock lock(vorel::ctx()->rwlock);
    return con_addpidtodb(p.get(), sync_peers);
}

std::optional<StoreFixture::Record> StoreFixture::lookup(uint32_t pid)
{
    devconpld *pld = nullptr;
    if (getPidFromVorel(pid, &pld) != 0)
        return std::nullopt;
    Record rec{pld->src_dev, {pld->dst_devices, pld->dst_devices + pld->num_dstdevices}};
    std::free(pld);
    return rec;
}

gadd_t StoreFixture::domain_first(uint32_t dom)
{
    gadd_t g = 0;
    EXPECT_EQ(get_basic_block(vorel::shm(), dom, &g), 0);
    return g;
}

} // namespace vtest
