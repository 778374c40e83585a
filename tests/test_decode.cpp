// Decoder of the update messages: the four formats, malformed input, and the
// text and JSON forms.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "decode.h"

namespace {

using namespace vorel::decode;
using Bytes = std::vector<std::byte>;

Bytes bytes_of(const std::vector<uint32_t> &words)
{
    Bytes b(words.size() * 4);
    if (!words.empty())
        std::memcpy(b.data(), words.data(), b.size());
    return b;
}

Result decode_words(uint32_t code, const std::vector<uint32_t> &words)
{
    static Bytes keep; // views refer to it until the next call
    keep = bytes_of(words);
    return decode(code, keep);
}

// Encodes a decoded message again; equal bytes mean the view lost nothing.
std::vector<uint32_t> reencode(const Message &m)
{
    if (const auto *on = std::get_if<DevOnline>(&m.body)) {
        std::vector<OnlineDelta> d;
        for (const auto &e : on->entries)
            d.push_back({e.src_pid, e.new_pids.to_vector(), e.removed_pids.to_vector()});
        return encode_dev_online(d);
    }
    if (const auto *off = std::get_if<Offline>(&m.body)) {
        std::vector<OfflineDevice> r;
        for (const auto &rec : off->records)
            r.push_back({rec.pid, rec.disconn_pids.to_vector()});
        return encode_offline(r);
    }
    if (const auto *rdo = std::get_if<RemoteDomOnline>(&m.body))
        return encode_remote_dom_online(rdo->pids.to_vector());
    return {};
}

TEST(Decode, DevOnlineEntriesInOrder)
{
    // One delta with 2 new and 1 removed PID: 28 bytes, counts before the source.
    Result r = decode_words(0x43, {1, 2, 1, 0x010100, 0x010200, 0x010300, 0x010400});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.message->length, 28u);
    const auto &m = std::get<DevOnline>(r.message->body);
    ASSERT_EQ(m.entries.size(), 1u);
    EXPECT_EQ(m.entries[0].src_pid, 0x010100u);
    EXPECT_EQ(m.entries[0].new_pids.to_vector(), (std::vector<uint32_t>{0x010200, 0x010300}));
    EXPECT_EQ(m.entries[0].removed_pids.to_vector(), (std::vector<uint32_t>{0x010400}));

    // Two entries, the second with nothing changed; and the empty message.
    r = decode_words(0x43, {2, 0, 1, 0x020100, 0x020200, 0, 0, 0x020300});
    ASSERT_TRUE(r.ok()) << r.error;
    const auto &two = std::get<DevOnline>(r.message->body);
    ASSERT_EQ(two.entries.size(), 2u);
    EXPECT_TRUE(two.entries[0].new_pids.empty());
    EXPECT_EQ(two.entries[0].removed_pids[0], 0x020200u);
    EXPECT_EQ(two.entries[1].src_pid, 0x020300u);
    EXPECT_TRUE(two.entries[1].removed_pids.empty());

    r = decode_words(0x43, {0});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(std::get<DevOnline>(r.message->body).entries.empty());
}

TEST(Decode, OfflineRecordsAndTheirLength)
{
    // A device with 3 destinations: 28 bytes starting 28, 1, pid, 3.
    Result r = decode_words(0x42, {28, 1, 0x010100, 3, 0x010200, 0x010300, 0x020100});
    ASSERT_TRUE(r.ok()) << r.error;
    const auto &one = std::get<Offline>(r.message->body);
    EXPECT_EQ(one.total_length, 28u);
    ASSERT_EQ(one.records.size(), 1u);
    EXPECT_EQ(one.records[0].pid, 0x010100u);
    EXPECT_EQ(one.records[0].disconn_pids.to_vector(), (std::vector<uint32_t>{0x010200, 0x010300, 0x020100}));

    // Two records with 1 and 0 destinations; and no records at all.
    r = decode_words(0x42, {28, 2, 0x030100, 1, 0x010100, 0x030200, 0});
    ASSERT_TRUE(r.ok()) << r.error;
    const auto &two = std::get<Offline>(r.message->body);
    ASSERT_EQ(two.records.size(), 2u);
    EXPECT_EQ(two.records[1].pid, 0x030200u);
    EXPECT_TRUE(two.records[1].disconn_pids.empty());

    r = decode_words(0x42, {8, 0});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(std::get<Offline>(r.message->body).records.empty());
}

TEST(Decode, RemoteDomOnlineAndSync)
{
    Result r = decode_words(0x41, {2, 0x050100, 0x050200, 0});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(std::get<RemoteDomOnline>(r.message->body).pids.to_vector(), (std::vector<uint32_t>{0x050100, 0x050200}));

    r = decode(0x44, nullptr, 0);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(std::holds_alternative<Sync>(r.message->body));
    EXPECT_STREQ(r.message->format_name(), "SYNC");
}

TEST(Decode, RefusesMalformedMessages)
{
    const uint32_t big = 0xFFFFFFFFu;
    const struct {
        uint32_t code;
        std::vector<uint32_t> words;
        const char *what;
    } cases[] = {
        {0x43, {}, "empty DEV_ONLINE"},
        {0x43, {1, 2, 1, 0x010100, 0x010200, 0x010300}, "DEV_ONLINE one PID short"},
        {0x43, {2, 0, 0, 0x010100}, "DEV_ONLINE count beyond its entries"},
        {0x43, {1, 0, 0, 0x010100, 7}, "DEV_ONLINE trailing word"},
        {0x43, {1, big, 0, 0x010100}, "DEV_ONLINE huge new count"},
        {0x43, {1, 1, big, 0x010100, 5}, "DEV_ONLINE huge removed count"},
        {0x43, {big}, "DEV_ONLINE huge entry count"},
        {0x42, {8}, "OFFLINE without its count"},
        {0x42, {12, 0, 0}, "OFFLINE trailing word"},
        {0x42, {20, 1, 0x010100, 0}, "OFFLINE length word differs"},
        {0x42, {12, 1, 0x010100}, "OFFLINE record without its count"},
        {0x42, {16, 1, 0x010100, 1}, "OFFLINE PIDs missing"},
        {0x42, {20, 1, 0x010100, big, 5}, "OFFLINE negative count"},
        {0x42, {8, big}, "OFFLINE huge record count"},
        {0x41, {2, 0x010100, 0}, "REMOTE_DOM_ONLINE count beyond its PIDs"},
        {0x41, {1, 0x010100, 9}, "REMOTE_DOM_ONLINE final word not 0"},
        {0x41, {0, 0, 0}, "REMOTE_DOM_ONLINE trailing word"},
        {0x41, {big, 0}, "REMOTE_DOM_ONLINE huge count"},
        {0x44, {0}, "non-empty sync"},
        {0x45, {0}, "unknown code"},
    };
    for (const auto &c : cases) {
        const Result r = decode_words(c.code, c.words);
        EXPECT_FALSE(r.ok()) << c.what;
        EXPECT_FALSE(r.error.empty()) << c.what;
    }
    // A body that is not a whole number of words.
    const Bytes odd(6, std::byte{0});
    EXPECT_FALSE(decode(0x43, odd).ok());
    EXPECT_FALSE(decode(0x43, nullptr, 4).ok());
}

TEST(Decode, EveryPrefixOfAValidMessageIsRefused)
{
    const std::vector<uint32_t> online = encode_dev_online(
        std::vector<OnlineDelta>{{0x010100, {0x010200, 0x010300}, {0x010400}}, {0x010500, {}, {0x010600, 0x010700}}});
    const std::vector<uint32_t> offline =
        encode_offline(std::vector<OfflineDevice>{{0x020100, {0x020200}}, {0x020300, {0x020400, 0x020500}}});
    const std::vector<uint32_t> rdo = encode_remote_dom_online(std::vector<uint32_t>{0x030100, 0x030200});
    for (const auto &[code, words] : {std::pair{0x43u, online}, std::pair{0x42u, offline}, std::pair{0x41u, rdo}}) {
        const Bytes full = bytes_of(words);
        ASSERT_TRUE(decode(code, full).ok());
        for (std::size_t n = 0; n < full.size(); ++n) {
            // Copy the prefix alone so that a read past it would leave the allocation.
            const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
            EXPECT_FALSE(decode(code, prefix).ok()) << "code " << code << " prefix " << n;
        }
    }
}

TEST(Decode, RandomBodiesEitherFailOrRoundTrip)
{
    // Random word soups built to look like messages (small counts, valid
    // length words) hit both paths; any body accepted must encode back to the
    // same bytes, read at an odd address.
    std::mt19937 rng(20240611);
    int accepted = 0;
    for (int iter = 0; iter < 20000; ++iter) {
        const uint32_t code = 0x41 + rng() % 4;
        std::vector<uint32_t> w(rng() % 12);
        for (auto &x : w)
            x = rng() % 4 == 0 ? rng() : rng() % 4;
        if (code == 0x42 && !w.empty() && rng() % 2)
            w[0] = static_cast<uint32_t>(w.size() * 4);
        Bytes raw(1 + w.size() * 4);
        if (!w.empty())
            std::memcpy(raw.data() + 1, w.data(), w.size() * 4);
        const std::span<const std::byte> body(raw.data() + 1, w.size() * 4);
        const Result r = decode(code, body);
        if (!r.ok()) {
            EXPECT_FALSE(r.error.empty());
            continue;
        }
        ++accepted;
        if (code != 0x44)
            EXPECT_EQ(reencode(*r.message), w) << "code " << code;
        else
            EXPECT_TRUE(w.empty());
    }
    EXPECT_GT(accepted, 100); // the generator does reach valid messages
}

TEST(Decode, JsonAndTextForms)
{
    const std::vector<uint32_t> words{1, 2, 1, 0x010100, 0x010200, 0x010300, 0x010400};
    const Bytes b = bytes_of(words);
    const auto j = nlohmann::json::parse(format_json(0x43, b));
    EXPECT_EQ(j["code"], 67);
    EXPECT_EQ(j["format"], "DEV_ONLINE");
    EXPECT_EQ(j["length"], 28);
    ASSERT_EQ(j["entries"].size(), 1u);
    EXPECT_EQ(j["entries"][0]["src_pid"], 0x010100);
    EXPECT_EQ(j["entries"][0]["new"], nlohmann::json({0x010200, 0x010300}));
    EXPECT_EQ(j["entries"][0]["removed"], nlohmann::json({0x010400}));

    const auto off = nlohmann::json::parse(format_json(0x42, bytes_of({20, 1, 0x010100, 1, 0x020100})));
    EXPECT_EQ(off["format"], "OFFLINE");
    EXPECT_EQ(off["records"][0]["pid"], 0x010100);
    EXPECT_EQ(off["records"][0]["disconn"], nlohmann::json({0x020100}));

    const auto sync = nlohmann::json::parse(format_json(0x44, {}));
    EXPECT_EQ(sync["format"], "SYNC");

    // A malformed message is reported as such, with its code and length.
    const auto bad = nlohmann::json::parse(format_json(0x41, bytes_of({3, 0})));
    EXPECT_EQ(bad["code"], 65);
    EXPECT_EQ(bad["length"], 8);
    EXPECT_FALSE(bad["error"].get<std::string>().empty());
    EXPECT_FALSE(bad.contains("format"));

    const std::string text = format_text(0x43, b);
    EXPECT_EQ(text, "DEV_ONLINE code 0x43 length 28 entries 1\n"
                    "  src 0x010100 new [0x010200 0x010300] removed [0x010400]\n");
    EXPECT_EQ(format_text(0x41, bytes_of({3, 0})).rfind("MALFORMED code 0x41 length 8: ", 0), 0u);
}

} // namespace
