// fuzz_decode - the update-message decoder on any code and body (at the end
// of its own heap block, at an odd address when the input says so).  A body
// decodes or gives a reason; one that decodes is what the encoders make of
// the decoded message.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

#include "decode.h"
#include "fuzz_common.h"

namespace {
using namespace vorel::decode;

uint32_t pick_code(FuzzedDataProvider &in)
{
    const uint8_t c = in.ConsumeIntegral<uint8_t>();
    if (c < 240)
        return kCodeRemoteDomOnline + c % 4;
    return c == 255 ? in.ConsumeIntegral<uint32_t>() : c;
}

std::vector<uint32_t> words_of(std::span<const std::byte> body)
{
    std::vector<uint32_t> out(body.size() / sizeof(uint32_t));
    if (!out.empty())
        std::memcpy(out.data(), body.data(), out.size() * sizeof(uint32_t));
    return out;
}

// The decoded message encoded again.
std::vector<uint32_t> reencode(const Message &msg)
{
    if (const auto *on = std::get_if<DevOnline>(&msg.body)) {
        std::vector<OnlineDelta> deltas;
        for (const OnlineEntry &e : on->entries)
            deltas.push_back({e.src_pid, e.new_pids.to_vector(), e.removed_pids.to_vector()});
        return encode_dev_online(deltas);
    }
    if (const auto *off = std::get_if<Offline>(&msg.body)) {
        std::vector<OfflineDevice> recs;
        for (const OfflineRecord &r : off->records)
            recs.push_back({r.pid, r.disconn_pids.to_vector()});
        return encode_offline(recs);
    }
    if (const auto *dom = std::get_if<RemoteDomOnline>(&msg.body))
        return encode_remote_dom_online(dom->pids.to_vector());
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const uint32_t code = pick_code(in);
    const size_t offset = in.ConsumeBool() ? 1 : 0;
    const std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();

    const auto block = std::make_unique<std::byte[]>(offset + bytes.size());
    std::byte *at = block.get() + offset;
    if (!bytes.empty())
        std::memcpy(at, bytes.data(), bytes.size());
    const std::span<const std::byte> body(at, bytes.size());

    const Result r = decode(code, body);
    const Result again = decode(code, at, bytes.size());
    VFUZZ_CHECK(r.ok() == again.ok() && r.error == again.error, "the two forms of decode disagree");
    VFUZZ_CHECK(r.ok() != !r.error.empty(), "result both %s", r.ok() ? "decoded and refused" : "empty");
    if (r.ok()) {
        const Message &msg = *r.message;
        VFUZZ_CHECK(msg.code == code && msg.length == bytes.size(), "message header differs from the input");
        VFUZZ_CHECK(bytes.size() % 4 == 0, "a body of %zu bytes decoded", bytes.size());
        if (std::holds_alternative<Sync>(msg.body))
            VFUZZ_CHECK(bytes.empty(), "a sync notice with a body");
        else
            VFUZZ_CHECK(reencode(msg) == words_of(body), "%s encodes to other words", msg.format_name());
    }
    return 0;
}
