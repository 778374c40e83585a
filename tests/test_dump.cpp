// Diagnostic dump: the exact text written to standard output for a small
// store, and the printers of payload lists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "store_fixture.h"

namespace {

using vtest::Payload;

DevInfo dev(uint32_t pid, int16_t ind, uint16_t spd, uint32_t flags)
{
    DevInfo d{};
    d.pid = pid;
    d.ind = ind;
    d.spd = spd;
    d.devflags = flags;
    d.dev_extra[0] = 0xEE; // never printed
    return d;
}

const char *const kBanner = "\n******************start****************************\n";

class DumpTest : public vtest::StoreFixture {};

TEST_F(DumpTest, WholeStoreInFabricOrder)
{
    Payload two(dev(0x010A0B, -2, 16, 0xBEEF), {dev(0x0C0001, 0, 8, 0x1), dev(0x0C0002, 7, 32, 0)});
    Payload none(dev(0x020003, 1, 4, 0), {});
    Payload gone(dev(0x030001, 0, 0, 0), {});
    ASSERT_EQ(insert(two), 0);
    ASSERT_EQ(insert(none), 0);
    ASSERT_EQ(insert(gone), 0);
    ASSERT_TRUE(remove(0x030001).has_value()); // domain 3 keeps an empty block
    set_fabric(1, {2, 40, 3, 1});              // 40 has no block

    vtest::StdoutCapture out;
    printEachPidFromVorel();
    const std::string got = out.finish();

    const std::string domain_rule = "\n--------------------------------------------------------\n";
    const std::string block_rule = "\n******************************************\n";
    const std::string expect =
        std::string(kBanner) + "Total Number of domains : 4\n" +
        // domain 2: one device without destinations
        domain_rule + "Current Domain: 2\n" + block_rule + "Domain information\n" + "Domain:2\tNumber of devices:1\n" +
        "\n^^^^^Pid 20003 search \n" + "Device Connectivity Payload\n" + "---------------------------\n" +
        "Source pid details:\n" + "PID:00020003: ind:1: spd:4G: Devflags:0\n" + "Update Type:0 :TLV len:0\n" +
        "Total number of destination:0\n" + "---------------------------\n" + "Destination pid details:\n" +
        // domain 40: listed, no block
        domain_rule + "Current Domain: 40\n" +
        // domain 3: an emptied block
        domain_rule + "Current Domain: 3\n" + block_rule + "Domain information\n" + "Domain:3\tNumber of devices:0\n" +
        // domain 1: one device with two destinations
        domain_rule + "Current Domain: 1\n" + block_rule + "Domain information\n" + "Domain:1\tNumber of devices:1\n" +
        "\n^^^^^Pid 10a0b search \n" + "Device Connectivity Payload\n" + "---------------------------\n" +
        "Source pid details:\n" + "PID:00010a0b: ind:-2: spd:16G: Devflags:beef\n" + "Update Type:0 :TLV len:0\n" +
        "Total number of destination:2\n" + "---------------------------\n" + "Destination pid details:\n" +
        "PID:000c0001: ind:0: spd:8G: Devflags:1\n" + "PID:000c0002: ind:7: spd:32G: Devflags:0\n";
    EXPECT_EQ(got, expect);
}

TEST_F(DumpTest, UnreadableDeviceIsReportedAndTheDumpGoesOn)
{
    Payload a(dev(0x050001, 0, 0, 0), {});
    ASSERT_EQ(insert(a), 0);
    set_fabric(1, {5});
    vtest::TraceCapture trace(1);
    vtest::StdoutCapture out;
    // Resolutions: the dump's domain block, the lookup's domain block, the head.
    plat_fail_after("gadd2ladd", 3);
    printEachPidFromVorel();
    const std::string got = out.finish();
    const std::string tail = "\n^^^^^Pid 50001 search \nPid 50001 doesn't exist \n";
    ASSERT_GE(got.size(), tail.size());
    EXPECT_EQ(got.substr(got.size() - tail.size()), tail);
    EXPECT_TRUE(trace.has(1, "getPidFromVorel failed whenadding to Vorel"));
}

TEST_F(DumpTest, NotAttachedPrintsOnlyTheBanner)
{
    detachVorelSrvr();
    vtest::TraceCapture trace(1);
    vtest::StdoutCapture out;
    printEachPidFromVorel();
    EXPECT_EQ(out.finish(), kBanner);
    EXPECT_TRUE(trace.has(1, "vorel is uninitialized"));
}

TEST(DumpPrinters, ListPrintsEachPayloadInOrderAndNothingForNoEntries)
{
    DevInfo d = dev(0xABCDEF, 3, 2, 0x10);
    devconpld p{};
    p.update_type = 6;
    p.src_dev = d;
    p.num_dstdevices = 1;
    p.dst_devices = &d;
    p.tlv_len = 12;
    devconpld *list[] = {&p, nullptr};

    vtest::StdoutCapture out;
    printDeviceInfofromList(list, 0);
    printDeviceInfofromList(list, -3);
    printDeviceInfofromList(list, 2);
    printDeviceInfo(nullptr);
    EXPECT_EQ(out.finish(), "Device Connectivity Payload\n"
                            "---------------------------\n"
                            "Source pid details:\n"
                            "PID:00abcdef: ind:3: spd:2G: Devflags:10\n"
                            "Update Type:6 :TLV len:12\n"
                            "Total number of destination:1\n"
                            "---------------------------\n"
                            "Destination pid details:\n"
                            "PID:00abcdef: ind:3: spd:2G: Devflags:10\n"
                            "Device Connectivity Payload\n"
                            "---------------------------\n"
                            "Device connectivity payload is NULL\n"
                            "Device information is NULL\n");
}

} // namespace
