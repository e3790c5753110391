// A TURN server's responses, and the peer's data in a Data indication or on a channel, each with
// its malformed twins.

#include "relay/turn.h"
#include "support.h"

namespace {

using test::attr;
using test::Bytes;
using test::kXorAddress;
using test::with;

// A server's message to kRfc5769Id.
Bytes message(std::uint16_t type, const std::vector<Bytes>& attrs, const std::uint8_t* key, bool fingerprint = true) {
    return test::server_message(type, test::kRfc5769Id, attrs, key, fingerprint);
}

TEST(Turn, ResponsesAndEveryMalformedTwin) {
    ASSERT_TRUE(envelope_startup());
    // Under the key of user "user", realm "lab", password "pass".
    TurnCredentials c{"user", "pass", "", {}, 0, {}, false};
    ASSERT_TRUE(turn_take_challenge(&c, "lab", reinterpret_cast<const std::uint8_t*>("n0"), 2));
    const std::uint8_t other_key[16] = {};
    const Bytes relayed = attr(0x0016, kXorAddress), lifetime = attr(0x000D, {0, 0, 0, 30}), code401 = attr(9, {0, 0, 4, 1});
    const Bytes good = message(0x0103, {relayed, lifetime}, c.key), bare = message(0x0103, {relayed}, c.key, false);
    Bytes after_fingerprint = with(good, 3, static_cast<std::uint8_t>(good.size() - 12));
    after_fingerprint.resize(good.size() + 8);  // an attribute of 4 zero bytes
    const struct { const char* name; Bytes m; int error = -1; } rows[] = {  // error -1: refused
        {.name = "a success", .m = good, .error = 0},
        {.name = "a challenge", .m = message(0x0113, {code401, attr(0x14, {'l', 'a', 'b'}), attr(0x15, {'n', '1'})}, nullptr), .error = 401},
        {.name = "a stale nonce", .m = message(0x0114, {attr(9, {0, 0, 4, 38})}, c.key), .error = 438},
        {.name = "no fingerprint", .m = bare, .error = 0}, {.name = "truncated by one byte", .m = Bytes(good.begin(), good.end() - 1)},
        {.name = "another transaction", .m = with(good, 8, 0)}, {.name = "another transaction, signed", .m = test::server_message(0x0103, test::kRfc5769Id + 1, {relayed, lifetime}, c.key)},
        {.name = "integrity altered", .m = with(good, good.size() - 9, ~good[good.size() - 9])},
        {.name = "fingerprint altered", .m = with(good, good.size() - 1, ~good.back())},
        {.name = "an attribute altered, no fingerprint", .m = with(bare, 30, 0)}, {.name = "another key", .m = message(0x0103, {relayed}, other_key)},
        {.name = "a success without integrity", .m = message(0x0103, {relayed}, nullptr)},
        {.name = "an attribute after the fingerprint", .m = after_fingerprint},
        {.name = "a relayed address of family 2 in 8 bytes", .m = message(0x0103, {attr(0x0016, with(kXorAddress, 1, 2))}, c.key)},
        {.name = "a lifetime of 3 bytes", .m = message(0x0103, {attr(0x000D, {0, 0, 30})}, c.key)},
        {.name = "an attribute past the end", .m = with(good, 23, 0xFF)}, {.name = "an error without its code", .m = message(0x0113, {}, nullptr)},
        {.name = "an indication", .m = message(0x0013, {relayed}, c.key)},
        {.name = "error class 7", .m = message(0x0113, {attr(9, {0, 0, 7, 1})}, nullptr)}, {.name = "error 699", .m = message(0x0113, {attr(9, {0, 0, 6, 99})}, nullptr), .error = 699},
        {.name = "a realm too long", .m = message(0x0113, {code401, attr(0x14, Bytes(200, 'r'))}, nullptr)},
        {.name = "a realm with a zero byte", .m = message(0x0113, {code401, attr(0x14, {'a', 0, 'b'})}, nullptr)},
        {.name = "a nonce too long", .m = message(0x0113, {code401, attr(0x15, Bytes(129, 'n'))}, nullptr)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TurnResponse r{};
        EXPECT_EQ(turn_read_response(row.m.data(), row.m.size(), test::kRfc5769Id, c, &r), row.error >= 0);
        EXPECT_EQ(r.error, std::max(row.error, 0));
        EXPECT_TRUE(&row != rows || (r.relayed.ip == 0xC0000201 && r.relayed.port == 32853 && r.lifetime == 30));
        EXPECT_TRUE(&row != rows + 1 || (std::strcmp(r.realm, "lab") == 0 && r.nonce_size == 2 && r.nonce[1] == '1'));
    }
}

// Data from a peer, in a Data indication (type 0x0017) or on a channel (0x4000 to 0x4FFF).
TEST(Turn, DataFromThePeer) {
    const Bytes peer = attr(0x0012, kXorAddress), data = attr(0x0013, {'h', 'i'}), frame = {0x40, 1, 0, 2, 'h', 'i'};
    const struct { const char* name; Bytes m; bool data = false; } rows[] = {
        {.name = "a Data indication", .m = message(0x0017, {peer, data}, nullptr), .data = true},
        {.name = "a Send indication", .m = message(0x0016, {peer, data}, nullptr)},
        {.name = "no DATA", .m = message(0x0017, {peer}, nullptr)},
        {.name = "no XOR-PEER-ADDRESS", .m = message(0x0017, {data}, nullptr)},
        {.name = "a peer address of 3 bytes", .m = message(0x0017, {attr(0x0012, {0, 1, 2}), data}, nullptr)},
        {.name = "DATA past the end", .m = with(message(0x0017, {peer, data}, nullptr), 35, 0xFF)},
        {.name = "on a channel", .m = frame, .data = true},
        {.name = "on a channel, a byte short", .m = Bytes(frame.begin(), frame.end() - 1)},
        {.name = "shorter than a channel header", .m = Bytes(frame.begin(), frame.begin() + 3)},
        {.name = "below the channels", .m = with(frame, 0, 0x3F)}, {.name = "above the channels", .m = with(frame, 0, 0x50)},
        {.name = "nothing on the last channel", .m = Bytes{0x4F, 0xFF, 0, 0}, .data = true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::uint8_t* payload = nullptr;
        std::size_t size = 0;
        platform::Endpoint from{};
        const bool read = row.m[0] < 0x40 ? turn_read_data(row.m.data(), row.m.size(), &from, &payload, &size)
                                          : turn_read_channel_data(row.m.data(), row.m.size(), &from.port, &payload, &size);
        EXPECT_EQ(read, row.data);
        EXPECT_TRUE(!read || size == 0 || (payload[1] == 'i' && from.port == (row.m[0] < 0x40 ? 32853 : 0x4001)));
    }
    // Our own frame, and none where it would not fit.
    std::uint8_t out[6];
    EXPECT_TRUE(turn_build_channel_data(0x4001, frame.data() + 4, 2, out, 6) == 6 && Bytes(out, out + 6) == frame);
    EXPECT_EQ(turn_build_channel_data(0x4001, frame.data() + 4, 2, out, 5), 0u);
}

}  // namespace
