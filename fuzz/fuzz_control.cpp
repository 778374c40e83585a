// fuzz_control - Server::control of an in-process server with any code and
// body: every reply is a JSON object with an integer "rc", a successful direct
// add stored all it names, and the store never holds a PID twice.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "control.h"
#include "fuzz_common.h"
#include "vorel_server.h"

namespace {

constexpr int kInstance = 122;

vorel::server::Server &server()
{
    static std::unique_ptr<vorel::server::Server> srv;
    if (!srv) {
        srv = std::make_unique<vorel::server::Server>(
            vorel::server::Options{.instance = kInstance, .control_service = false});
        VFUZZ_CHECK(srv->start() == 0, "the server does not start: %s", srv->error().c_str());
    }
    return *srv;
}

// No PID is stored twice (an initial load over a stored PID would do that):
// the enumeration finds as many records as distinct PIDs.
void check_store(vorel::server::Server &srv)
{
    srv.run([] {
        struct Seen {
            std::set<uint32_t> pids;
            uint32_t records = 0;
        } seen;
        (void)getEachPidFromVorel(
            [](devconpld *p, void *arg) {
                auto *s = static_cast<Seen *>(arg);
                s->pids.insert(p->src_dev.pid);
                ++s->records;
                return 0;
            },
            &seen);
        VFUZZ_CHECK(seen.pids.size() == seen.records, "%u records for %zu PIDs", seen.records, seen.pids.size());
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (vfuzz::start_process(kInstance))
        (void)server();
    vorel::server::Server &srv = server();
    FuzzedDataProvider in(data, size);
    const uint8_t pick = in.ConsumeIntegral<uint8_t>();
    const uint32_t code = pick < 0xF0 ? vorel::control::CTL_ADD + pick % 11 : 0x100u + pick;
    const std::string body = in.ConsumeRemainingBytesAsString();
    const std::string reply = srv.control(code, body);
    const auto j = nlohmann::json::parse(reply, nullptr, false);
    VFUZZ_CHECK(j.is_object() && j.contains("rc") && j["rc"].is_number_integer(), "reply %s", reply.c_str());
    if (j["rc"] == 0 && j.contains("requested"))
        VFUZZ_CHECK(j["requested"] == j["stored"], "reply %s", reply.c_str());
    check_store(srv);
    return 0;
}
