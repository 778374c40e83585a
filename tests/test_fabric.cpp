// Fabric files: every kind of bad file is refused with its file name and
// position and loads nothing; zoning gives symmetric destination lists; the
// generator's fabrics load into a store that the verifier passes; the bundled
// example is the generator's output.
#include <gtest/gtest.h>

#ifdef VOREL_HAVE_TOOL

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "control.h"
#include "fabric.h"
#include "gen.h"
#include "loader.h"
#include "pid.h"
#include "store_fixture.h"
#include "verify.h"
#include "vorel_server.h"

namespace {

using vorel::tool::Fabric;
using vorel::tool::parse_fabric;

std::string refusal(const std::string &text)
{
    std::string error;
    const auto f = parse_fabric(text, "bad.json", error);
    EXPECT_FALSE(f.has_value()) << text;
    return error;
}

std::string devices_json(const std::vector<std::string> &pids)
{
    std::string out = "{\"devices\": [";
    for (size_t i = 0; i < pids.size(); ++i)
        out += (i ? ", {\"pid\": " : "{\"pid\": ") + pids[i] + "}";
    return out + "]";
}

// Each bad file and the words its error must hold: the file name first, then
// the position (line:column for syntax, a JSON pointer otherwise).
TEST(FabricFile, BadFilesAreRefusedWithFileAndPosition)
{
    const struct {
        std::string text;
        std::vector<std::string> expected;
    } cases[] = {
        {"{\n  \"devices\": [\n    {\"pid\": \"0x010100\",, }\n  ]\n}", {"bad.json:3:", "malformed JSON"}},
        {"{\"devices\": [", {"bad.json:1:", "malformed JSON"}},
        {"{\"devices\": [],\n \"switch\": {\"domain\": 1e400}}", {"bad.json:2:23: malformed JSON: number overflow"}},
        {"[1, 2]", {"bad.json: /: a fabric file must hold one JSON object"}},
        {"{\"zones\": []}", {"bad.json: /devices: missing"}},
        {devices_json({"\"0x010100\"", "\"0x000105\""}) + "}", {"bad.json: /devices/1/pid: PID 0x000105 has domain 0"}},
        {devices_json({"\"0x1010100\""}) + "}", {"bad.json: /devices/0/pid:", "wider than 24 bits"}},
        {devices_json({"16843009"}) + "}", {"bad.json: /devices/0/pid:", "wider than 24 bits"}},
        {devices_json({"\"0x01zz00\""}) + "}", {"bad.json: /devices/0/pid: '0x01zz00' is not a PID"}},
        {devices_json({"\"0x010100\"", "\"0x020100\"", "\"010100\""}) + "}",
         {"bad.json: /devices/2/pid: duplicate device 0x010100 (first at /devices/0)"}},
        {devices_json({"\"0x010100\"", "\"0x020100\""}) +
             ", \"zones\": [{\"name\": \"z1\", \"members\": [\"0x010100\", \"0x020100\"]},"
             " {\"name\": \"z2\", \"members\": [\"0x010100\", \"0x030100\"]}]}",
         {"bad.json: /zones/1/members/1: zone 'z2' member 0x030100 is not a device"}},
        {devices_json({"\"0x010100\""}) + ", \"zones\": [{\"name\": \"z1\"}]}",
         {"bad.json: /zones/0/members: zone 'z1' needs a 'members' array"}},
        {"{\"devices\": [{\"pid\": \"0x010100\", \"ind\": 40000}]}", {"bad.json: /devices/0/ind:", "-32768..32767"}},
        {"{\"devices\": [{\"pid\": \"0x010100\", \"spd\": -1}]}", {"bad.json: /devices/0/spd:"}},
        {"{\"devices\": [{\"pid\": \"0x010100\", \"extra\": \"abc\"}]}", {"bad.json: /devices/0/extra:"}},
        {"{\"devices\": [{\"pid\": \"0x010100\", \"extra\": \"" + std::string(34, 'a') + "\"}]}",
         {"bad.json: /devices/0/extra:"}},
        {"{\"switch\": {\"domain\": 0}, \"devices\": []}", {"bad.json: /switch/domain:"}},
        {"{\"switch\": {\"domain\": 1, \"domains\": [1]}, " + devices_json({"\"0x020100\""}).substr(1) + "}",
         {"bad.json: /switch/domains: domain 2 has devices but is not listed"}},
    };
    for (const auto &c : cases) {
        const std::string error = refusal(c.text);
        EXPECT_EQ(error.rfind("bad.json", 0), 0u) << error;
        for (const std::string &e : c.expected)
            EXPECT_NE(error.find(e), std::string::npos) << "error: " << error << "\nexpected: " << e;
    }
}

TEST(FabricFile, FieldsAreReadAndTheViewDefaults)
{
    std::string error;
    const auto f = parse_fabric(R"({"devices": [
        {"pid": "0x030100", "ind": -5, "spd": 32, "flags": "0x80000001", "extra": "0a0b"},
        {"pid": 131328}]})",
                                "ok.json", error);
    ASSERT_TRUE(f) << error;
    ASSERT_EQ(f->devices.size(), 2u);
    const DevInfo &d = f->devices[0];
    EXPECT_EQ(d.pid, 0x030100u);
    EXPECT_EQ(d.ind, -5);
    EXPECT_EQ(d.spd, 32u);
    EXPECT_EQ(d.devflags, 0x80000001u);
    EXPECT_EQ(d.dev_extra[0], 0x0A);
    EXPECT_EQ(d.dev_extra[1], 0x0B);
    EXPECT_EQ(d.dev_extra[2], 0);
    EXPECT_EQ(f->devices[1].pid, 0x020100u);
    // Without a "switch" object the own domain is the lowest with devices.
    EXPECT_EQ(f->domain, 2u);
    EXPECT_EQ(f->domains, (std::vector<uint8_t>{2, 3}));

    // What fabric_to_json writes reads back the same.
    const auto again = parse_fabric(vorel::tool::fabric_to_json(*f), "again.json", error);
    ASSERT_TRUE(again) << error;
    ASSERT_EQ(again->devices.size(), 2u);
    EXPECT_TRUE(vtest::same_dev(again->devices[0], d));
    EXPECT_EQ(again->domain, 2u);
}

TEST(FabricFile, MissingFileNamesTheFile)
{
    std::string error;
    EXPECT_FALSE(vorel::tool::read_fabric_file("/nonexistent/fabric.json", error));
    EXPECT_EQ(error.rfind("/nonexistent/fabric.json: cannot open", 0), 0u) << error;
}

// Overlapping zones: every device lists every other member of each of its
// zones once, never itself, and the lists are symmetric.
TEST(FabricZoning, DestinationsAreSymmetricAndListedOnce)
{
    std::string error;
    const auto f = parse_fabric(R"({"devices": [{"pid": "0x010100"}, {"pid": "0x010200"}, {"pid": "0x020100"},
                                                 {"pid": "0x020200"}, {"pid": "0x030100"}],
        "zones": [{"name": "a", "members": ["0x010100", "0x010200", "0x020100"]},
                  {"name": "b", "members": ["0x010100", "0x020200", "0x010100"]},
                  {"name": "c", "members": ["0x010200", "0x010100"]}]})",
                                "zones.json", error);
    ASSERT_TRUE(f) << error;
    const auto dest = vorel::tool::zone_destinations(*f);
    ASSERT_EQ(dest.size(), 5u);
    // In order of first appearance.
    EXPECT_EQ(dest[0], (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(dest[1], (std::vector<uint32_t>{0, 2}));
    EXPECT_EQ(dest[2], (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(dest[3], (std::vector<uint32_t>{0}));
    EXPECT_TRUE(dest[4].empty()); // in no zone
    for (uint32_t i = 0; i < dest.size(); ++i)
        for (const uint32_t j : dest[i])
            EXPECT_NE(std::find(dest[j].begin(), dest[j].end(), i), dest[j].end()) << i << " -> " << j;

    // The bulk list carries the full records of the destinations, each in a
    // heap block of its own, and no block for a device without any.
    const auto list = vorel::tool::make_bulk_list(*f, VOREL_UPD_SYNC);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->num_devices, 5);
    EXPECT_EQ(list->devices[0].update_type, VOREL_UPD_SYNC);
    ASSERT_EQ(list->devices[0].num_dstdevices, 3);
    EXPECT_TRUE(vtest::same_dev(list->devices[0].dst_devices[2], f->devices[3]));
    EXPECT_EQ(list->devices[4].num_dstdevices, 0);
    EXPECT_EQ(list->devices[4].dst_devices, nullptr);
}

// ---- the generator ----------------------------------------------------------------

TEST(FabricGenerator, ShapeOfTheFabric)
{
    vorel::tool::GenOptions opt;
    opt.devices = 2000;
    opt.domains = 7;
    opt.first_domain = 10;
    const Fabric f = vorel::tool::generate_fabric(opt);
    ASSERT_EQ(f.devices.size(), 2000u);
    EXPECT_EQ(f.domain, 10u);
    EXPECT_EQ(f.domains, (std::vector<uint8_t>{10, 11, 12, 13, 14, 15, 16}));

    std::map<uint32_t, uint32_t> flags;
    std::map<uint32_t, size_t> per_domain;
    for (const DevInfo &d : f.devices) {
        EXPECT_TRUE(vorel::tool::pid_problem(d.pid).empty()) << vorel::tool::pid_problem(d.pid);
        flags[d.pid] = d.devflags;
        ++per_domain[vorel::tool::pid_domain(d.pid)];
    }
    EXPECT_EQ(flags.size(), 2000u); // unique PIDs
    EXPECT_EQ(per_domain.size(), 7u);
    for (const auto &[dom, n] : per_domain)
        EXPECT_TRUE(n == 285 || n == 286) << dom << ": " << n;
    const auto targets =
        std::count_if(flags.begin(), flags.end(), [](const auto &kv) { return kv.second == vorel::tool::kFlagTarget; });
    EXPECT_EQ(targets, 400);

    // Initiator-target zones: each initiator with 4 distinct targets.
    std::map<uint32_t, std::set<uint32_t>> zoned;
    for (const auto &z : f.zones) {
        ASSERT_EQ(z.members.size(), 2u);
        EXPECT_EQ(flags[z.members[0]], vorel::tool::kFlagInitiator);
        EXPECT_EQ(flags[z.members[1]], vorel::tool::kFlagTarget);
        zoned[z.members[0]].insert(z.members[1]);
    }
    EXPECT_EQ(zoned.size(), 1600u);
    for (const auto &[init, ts] : zoned)
        EXPECT_EQ(ts.size(), 4u) << vorel::tool::pid_hex(init);

    // The same seed gives the same fabric; another seed another zoning.
    EXPECT_EQ(vorel::tool::fabric_to_json(vorel::tool::generate_fabric(opt)), vorel::tool::fabric_to_json(f));
    opt.seed = 2;
    EXPECT_NE(vorel::tool::fabric_to_json(vorel::tool::generate_fabric(opt)), vorel::tool::fabric_to_json(f));
}

TEST(FabricGenerator, RefusesWhatCannotBeAFabric)
{
    vorel::tool::GenOptions opt;
    opt.domains = 0;
    EXPECT_TRUE(vorel::tool::gen_problem(opt));
    opt.domains = 2;
    opt.first_domain = 239;
    EXPECT_TRUE(vorel::tool::gen_problem(opt));
    opt.first_domain = 1;
    opt.devices = 2 * 65280 + 1;
    EXPECT_TRUE(vorel::tool::gen_problem(opt));
    opt.devices = 2 * 65280;
    EXPECT_FALSE(vorel::tool::gen_problem(opt));
}

// The demo falls back on the generator when it cannot find the example file,
// so the committed example must be exactly what the generator makes.
TEST(FabricGenerator, BundledExampleIsTheGeneratorsOutput)
{
    std::ifstream in(std::string(VOREL_SOURCE_DIR) + "/examples/fabric-small.json");
    ASSERT_TRUE(in);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), vorel::tool::fabric_to_json(vorel::tool::generate_fabric({})));
}

// ---- loading into a store ---------------------------------------------------------

class FabricLoad : public vtest::StoreFixture {};

TEST_F(FabricLoad, GeneratedFabricLoadsSymmetricAndComplete)
{
    vorel::tool::GenOptions opt;
    opt.devices = 1500;
    opt.domains = 3;
    const Fabric f = vorel::tool::generate_fabric(opt);
    ASSERT_EQ(vorel::tool::load_fabric(f, VOREL_UPD_SYNC, 0), 0);
    EXPECT_EQ(header()->total_pids, 1500u);
    const auto r = vorel::tool::verify_store(true);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.findings.empty()) << r.findings.front().message;
    EXPECT_EQ(r.links, 2u * f.zones.size());
    // A device's stored record is the fabric's, with its zoned destinations.
    const auto dest = vorel::tool::zone_destinations(f);
    const auto rec = lookup(f.devices[7].pid);
    ASSERT_TRUE(rec);
    EXPECT_TRUE(vtest::same_dev(rec->src, f.devices[7]));
    ASSERT_EQ(rec->dests.size(), dest[7].size());
    for (size_t k = 0; k < dest[7].size(); ++k)
        EXPECT_TRUE(vtest::same_dev(rec->dests[k], f.devices[dest[7][k]]));
}

// Through the server's own loader: a bad file changes nothing and the
// reply carries the file's error; a good one loads every device.
class FabricServerLoad : public ::testing::Test {
  protected:
    void SetUp() override
    {
        vorel::server::Options o;
        o.instance = 3;
        o.control_service = false;
        server_ = std::make_unique<vorel::server::Server>(o);
        server_->set_fabric_loader(vorel::tool::fabric_loader());
        ASSERT_EQ(server_->start(), 0) << server_->error();
        key_ = server_->run([] { return part_vorel_glbl_array[getMySwitch()]->shm_key; });
    }
    void TearDown() override
    {
        server_.reset();
        (void)gshm_remove(key_);
    }

    nlohmann::json load(const std::string &path)
    {
        std::string error;
        const int32_t rc = server_->load_file(path, VOREL_UPD_SYNC, false, error);
        return nlohmann::json{{"rc", rc}, {"error", error}};
    }
    uint32_t count()
    {
        return server_->run([] {
            uint32_t n = 0;
            EXPECT_EQ(getCountFromVorel(&n), 0);
            return n;
        });
    }
    std::string write_file(const std::string &name, const std::string &text)
    {
        const std::string path = std::string(std::getenv("VOREL_RUN_DIR")) + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    std::unique_ptr<vorel::server::Server> server_;
    key_t key_ = -1;
};

TEST_F(FabricServerLoad, BadFilesLoadNothingAndGoodOnesLoadEverything)
{
    // Valid devices before the fault: none of them may be stored.
    const std::vector<std::pair<std::string, std::string>> bad{
        {"syntax.json", devices_json({"\"0x010100\"", "\"0x010200\""}) + ", "},
        {"domain0.json", devices_json({"\"0x010100\"", "\"0x000200\""}) + "}"},
        {"wide.json", devices_json({"\"0x010100\"", "\"0xff010200\""}) + "}"},
        {"dup.json", devices_json({"\"0x010100\"", "\"0x010200\"", "\"0x010100\""}) + "}"},
        {"member.json", devices_json({"\"0x010100\""}) + ", \"zones\": [{\"name\": \"z\", \"members\": [\"0x010100\", "
                                                         "\"0x010300\"]}]}"},
    };
    for (const auto &[name, text] : bad) {
        const std::string path = write_file(name, text);
        const auto reply = load(path);
        EXPECT_EQ(reply.value("rc", 0), vorel::control::kErrFabricFile) << name;
        EXPECT_NE(reply.value("error", std::string()).find(path), std::string::npos) << reply.dump();
        EXPECT_EQ(count(), 0u) << name;
    }
    vorel::tool::GenOptions opt;
    opt.devices = 120;
    const std::string good = write_file("good.json", vorel::tool::fabric_to_json(vorel::tool::generate_fabric(opt)));
    const auto reply = load(good);
    EXPECT_EQ(reply.value("rc", -1), 0) << reply.dump();
    EXPECT_EQ(count(), 120u);
}

} // namespace

#else

TEST(FabricFile, NeedsTheTool) { GTEST_SKIP() << "the vorel tool is not part of this build"; }

#endif
