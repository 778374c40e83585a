// dump.cpp - the diagnostic dump: the whole store of the calling switch
// instance written to standard output, domain by domain and block by block,
// and the printers of one payload and one device that it is made of.
//
// The dump takes no lock of its own, like the lookups it calls: a caller that
// may run while the server updates the store holds the read lock around it,
// otherwise it may print a partly changed state.
#include <cstdio>
#include <cstdlib>

#include "trace.h"
#include "vorel_db.h"

namespace {

constexpr const char *kDumpName = "printEachPidFromVorel";

// One DomDb block: its header lines and every device it files.
void print_domain_block(uint32_t dom, const DomDb &b)
{
    std::printf("Domain:%d\t", b.domain);
    std::printf("Number of devices:%d\n", b.num_pids);
    VTRACE_INFO_AS(kDumpName, "retrieving memblock for Dom %d num_pids %d\n", dom, b.num_pids);
    // num_pids is read again before each device.
    for (uint32_t j = 0; j < b.num_pids && j < kPidsPerDomDb; ++j) {
        const uint32_t p = b.pid_tbl[j].pid;
        VTRACE_INFO_AS(kDumpName, "pid %8x Reading for all DB\n", p);
        std::printf("\n^^^^^Pid %x search \n", p);
        devconpld *pld = nullptr;
        if (getPidFromVorel(p, &pld) != 0) {
            std::printf("Pid %x doesn't exist \n", p);
            VTRACE_ERR_AS(kDumpName, "getPidFromVorel failed whenadding to Vorel\n");
            continue;
        }
        printDevConPayload(p, pld);
        std::free(pld);
    }
}

// Every DomDb block of one domain.
void print_domain(gshm_handle_t h, uint32_t dom)
{
    std::puts("\n--------------------------------------------------------");
    std::printf("Current Domain: %d\n", dom);
    gadd_t first = 0;
    if (dom == 0 || get_basic_block(h, dom, &first) < 0) { // block 0 is the header, never a domain
        VTRACE_INFO_AS(kDumpName, "get_basic_block() for dom %dreturns NULL\n", dom);
        return;
    }
    const int rc = vorel::walk_chain<DomDb>(
        first,
        [&](const DomDb &b, gadd_t) {
            std::puts("\n******************************************");
            std::puts("Domain information");
            print_domain_block(dom, b);
            return vorel::Walk::Next;
        },
        nullptr, h);
    if (rc < 0) {
        VTRACE_ERR_AS(kDumpName, "gadd2ladd() returns rc=%d\n", rc);
    } else if (rc == vorel::kChainNullBlock) {
        std::puts("\n******************************************");
        std::puts("Domain information");
        std::printf("Domain information payload is NULL for %d\n", dom);
    }
}

} // namespace

extern "C" {

void printDeviceInfo(DevInfo *info)
{
    if (info == nullptr) {
        std::puts("Device information is NULL");
        return;
    }
    std::printf("PID:%08x: ", info->pid);
    std::printf("ind:%d: ", info->ind);
    std::printf("spd:%dG: ", info->spd);
    std::printf("Devflags:%x\n", info->devflags);
}

void printDevConPayload(uint32_t /*pid*/, devconpld *pld)
{
    std::puts("Device Connectivity Payload");
    std::puts("---------------------------");
    if (pld == nullptr) {
        std::puts("Device connectivity payload is NULL");
        return;
    }
    std::puts("Source pid details:");
    printDeviceInfo(&pld->src_dev);
    std::printf("Update Type:%d :", pld->update_type);
    std::printf("TLV len:%d\n", pld->tlv_len);
    std::printf("Total number of destination:%d\n", pld->num_dstdevices);
    std::puts("---------------------------");
    std::puts("Destination pid details:");
    for (int32_t k = 0; k < pld->num_dstdevices; ++k)
        printDeviceInfo(&pld->dst_devices[k]);
}

void printDeviceInfofromList(devconpld **list, int32_t count)
{
    for (int32_t i = 0; list != nullptr && i < count; ++i)
        printDevConPayload(0, list[i]);
}

void printEachPidFromVorel(void)
{
    VTRACE_ENTER();
    std::puts("\n******************start****************************");
    VorelPartCtx *c = vorel::ctx();
    if (c->initialized <= 0) {
        VTRACE_ERR("vorel is uninitialized\n");
        VTRACE_EXIT();
        return;
    }
    vorel::DomainList list;
    const std::span<const uint8_t> domains = list.fill();
    std::printf("Total Number of domains : %d\n", static_cast<int>(domains.size()));
    for (const uint8_t dom : domains)
        print_domain(c->shm_handle, dom);
    std::fflush(stdout);
    VTRACE_EXIT();
}

} // extern "C"
