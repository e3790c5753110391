// Decoders and text rules, a table each: the STUN and TURN codecs with their malformed twins, dotted quads,
// port words, peer addresses, name lookup, datagram kinds, the display filter and the line cut.

#include <algorithm>
#include <cstring>

#include "secure/envelope.h"
#include "peer/protocol.h"
#include "relay/turn.h"
#include "address/address_text.h"
#include "stun/binding.h"
#include "support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// RFC 5769's IPv4 Binding Success Response: SOFTWARE, XOR-MAPPED-ADDRESS 192.0.2.1:32853,
// MESSAGE-INTEGRITY, FINGERPRINT.
const Bytes kSample = {
    1, 1, 0, 0x3c, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 1, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87,
    0xdf, 0xae, 0x80, 0x22, 0, 0x0b, 0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63, 0x74, 0x6f,
    0x72, 0x20, 0, 0x20, 0, 8, 0, 1, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43, 0, 8, 0, 0x14, 0x2b, 0x91,
    0xf5, 0x99, 0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74, 0x89, 0xf9, 0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b,
    0xe7, 0xd7, 0x80, 0x28, 0, 4, 0xc0, 0x7d, 0x4c, 0x96};
const Bytes kAddress = {0, 1, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43};

// An attribute padded to 4 bytes; `length` may lie about the value.
Bytes attr(std::uint16_t type, const Bytes& value, int length = -1) {
    const auto n = static_cast<std::uint16_t>(length < 0 ? value.size() : length);
    Bytes a = {std::uint8_t(type >> 8), std::uint8_t(type), std::uint8_t(n >> 8), std::uint8_t(n)};
    a.insert(a.end(), value.begin(), value.end());
    a.resize((a.size() + 3) / 4 * 4, 0xEE);
    return a;
}

// The sample's header around `attrs` and `extra` bytes, all counted by Message Length.
Bytes response(const std::vector<Bytes>& attrs, std::size_t extra = 0) {
    Bytes m(kSample.begin(), kSample.begin() + 20);
    for (const Bytes& a : attrs) m.insert(m.end(), a.begin(), a.end());
    m.resize(m.size() + extra, 0);
    m[3] = static_cast<std::uint8_t>(m.size() - 20);
    return m;
}

Bytes with(Bytes m, std::size_t at, std::uint8_t value) {
    m[at] = value;
    return m;
}

TEST(StunCodec, DecodesOrRefusesEachResponse) {
    const Bytes x = attr(0x0020, kAddress), m = attr(0x0001, kAddress), bad = attr(0x20, {1, 1});
    const char* xa = "192.0.2.1";
    const char* ma = "225.18.166.67";
    // RFC 5769's IPv6 response carries this XOR-MAPPED-ADDRESS under the same transaction id.
    const Bytes k6 = {0, 2, 0xa1, 0x47, 0x01, 0x13, 0xa9, 0xfa, 0xa5, 0xd3, 0xf1, 0x79,
                      0xbc, 0x25, 0xf4, 0xb5, 0xbe, 0xd2, 0xb9, 0xd9};
    const char* x6 = "2001:db8:1234:5678:11:2233:4455:6677";
    const Bytes short6(k6.begin(), k6.end() - 1), family3 = with(kAddress, 1, 3);
    const struct {
        Bytes message;
        const char* ip;      // nullptr: refused
        bool over6 = false;  // the request went over IPv6
    } cases[] = {
        {kSample, xa}, {response({m}), ma}, {response({m, x}), ma}, {response({x, m}), xa},
        {response({attr(0x8022, Bytes(11, 'a')), x}), xa},  // stepped over by 16
        {response({attr(0x0020, k6)}), x6, true}, {response({attr(0x0020, k6)}), nullptr},
        {response({attr(0x0020, k6), attr(0x0020, Bytes(4, 0)), m}), ma},
        {response({attr(0x0020, k6), x}), x6, true}, {response({x, m}), nullptr, true},
        {response({attr(0x0020, short6), m}), ma},
        {response({attr(0x0020, with(kAddress, 1, 2)), m}), ma},  // IPv6 in 8 bytes
        {response({attr(0x0020, family3), m}), ma}, {response({bad, m}), ma},
        {response({attr(0x0021, kAddress), x}), xa}, {response({attr(0x0020, family3)}), nullptr},
        {Bytes(kSample.begin(), kSample.begin() + 19), nullptr}, {response({}), nullptr},
        {with(kSample, 1, 0x11), nullptr}, {with(kSample, 0, 0), nullptr},
        {with(kSample, 7, 0x43), nullptr}, {with(kSample, 8, 0xb6), nullptr},
        {with(kSample, 19, 0xaf), nullptr}, {Bytes(kSample.begin(), kSample.end() - 1), nullptr},
        {response({attr(1, Bytes(kAddress.begin(), kAddress.end() - 1))}), nullptr},
        {response({attr(0x0020, kAddress, 12)}), nullptr},
        {response({bad, attr(1, kAddress, 200)}), nullptr},
        {response({attr(0x8022, Bytes(4, 'x'))}, 3), nullptr},
    };
    for (const auto& c : cases) {
        // A copy holds exactly the bytes, so AddressSanitizer sees any read past the received ones.
        const Bytes data(c.message);
        platform::Endpoint mapped{7, 7};
        EXPECT_EQ(parse_binding_response(data.data(), static_cast<std::int32_t>(data.size()),
                                         kSample.data() + 8, c.over6, &mapped),
                  c.ip != nullptr);
        char ip[kAddressTextSize] = "untouched";
        if (mapped.ip != 7) format_address(mapped, ip);
        EXPECT_STREQ(ip, c.ip != nullptr ? c.ip : "untouched");
        EXPECT_EQ(mapped.port, c.ip == nullptr ? 7 : c.ip == ma ? 41287 : 32853);
    }
}

// The walk's MESSAGE-INTEGRITY under `key` and FINGERPRINT, as far as they are present.
bool checks_hold(const Bytes& m, const void* key, std::size_t key_size) {
    StunMessage message{};
    StunAttribute a{};
    std::size_t at = 0;
    bool held = stun_read_header(m.data(), m.size(), &message);
    while (held && stun_next(message, &at, &a) == StunWalk::attribute) {
        if (a.type == kAttrMessageIntegrity) {
            held = stun_integrity_holds(message, a, static_cast<const std::uint8_t*>(key), key_size);
        }
        if (a.type == kAttrFingerprint) held = stun_fingerprint_holds(message, a);
    }
    return held;
}

TEST(TurnCodec, Rfc5769VectorsOurRequestsAndEveryMalformedTwin) {
    ASSERT_TRUE(envelope_startup());
    const std::string password = "VOkJxbRl1RmTxUk/WvJxBt";
    // RFC 5769's request with long-term credentials: USERNAME, NONCE, REALM, MESSAGE-INTEGRITY.
    const char* user = "\xe3\x83\x9e\xe3\x83\x88\xe3\x83\xaa\xe3\x83\x83\xe3\x82\xaf\xe3\x82\xb9";
    const std::string lt = std::string("\0\1\0\x60\x21\x12\xa4\x42\x78\xad\x34\x33\xc6\xad\x72\xc0\x29\xda\x41\x2e", 20) +
                           std::string("\0\6\0\x12", 4) + user + std::string("\0\0\0\x15\0\x1c", 6) + "f//499k954d6OL34oL9FSTvy64sA" +
                           std::string("\0\x14\0\x0b", 4) + "example.org" + std::string("\0\0\x08\0\x14", 5) +
                           "\xf6\x70\x24\x65\x6d\xd6\x4a\x3e\x02\xb8\xe0\x71\x2e\x85\xc9\xa2\x8c\xa8\x96\x66";
    const Bytes long_term(lt.begin(), lt.end());
    TurnCredentials c{"", "TheMatrIX", "", {}, 0, {}, false};
    std::snprintf(c.user, sizeof c.user, "%s", user);
    ASSERT_TRUE(turn_take_challenge(&c, "example.org", long_term.data() + 48, 28));
    EXPECT_TRUE(checks_hold(kSample, password.data(), password.size()));
    EXPECT_TRUE(checks_hold(long_term, c.key, sizeof c.key));
    EXPECT_FALSE(checks_hold(with(kSample, 30, 'x'), password.data(), password.size()));
    EXPECT_FALSE(checks_hold(with(long_term, 30, 'x'), c.key, sizeof c.key));
    EXPECT_FALSE(checks_hold(kSample, "x", 1));
    // Ours: the long-term credentials and the fingerprint, or nothing when it does not fit.
    std::uint8_t out[200];
    const TurnRequest bind{kTurnChannelBind, kNoLifetime, {0xC0000201, 5000}, kFirstChannel};
    const std::size_t n = turn_build_request(bind, kSample.data() + 8, c, out, sizeof out);
    EXPECT_TRUE(n > 0 && checks_hold(Bytes(out, out + n), c.key, sizeof c.key));
    EXPECT_EQ(turn_build_request(bind, kSample.data() + 8, c, out, n - 1), 0u);

    // Responses, under the key of user "user", realm "lab", password "pass".
    std::snprintf(c.user, sizeof c.user, "user");
    std::snprintf(c.password, sizeof c.password, "pass");
    ASSERT_TRUE(turn_take_challenge(&c, "lab", reinterpret_cast<const std::uint8_t*>("n0"), 2));
    const std::uint8_t* id = kSample.data() + 8;
    // A server's message: the attributes, then MESSAGE-INTEGRITY under `key` and a FINGERPRINT.
    const auto message = [&](std::uint16_t type, const std::vector<Bytes>& attrs, const std::uint8_t* key,
                             bool fingerprint = true) {
        std::uint8_t out[600];
        StunWriter w{out, sizeof out, 0, false};
        stun_begin(&w, type, id);
        for (const Bytes& a : attrs) stun_add(&w, read16(a.data()), a.data() + 4, read16(a.data() + 2));
        if (key != nullptr) stun_add_integrity(&w, key, 16);
        if (fingerprint) stun_add_fingerprint(&w);
        return Bytes(out, out + w.size);
    };
    const std::uint8_t other_key[16] = {};
    const Bytes relayed = attr(0x0016, kAddress), lifetime = attr(0x000D, {0, 0, 0, 30});
    const Bytes good = message(0x0103, {relayed, lifetime}, c.key);
    Bytes after_fingerprint = with(good, 3, static_cast<std::uint8_t>(good.size() - 12));
    after_fingerprint.resize(good.size() + 8);  // an attribute of 4 zero bytes
    const Bytes challenge = message(0x0113, {attr(9, {0, 0, 4, 1}), attr(0x14, {'l', 'a', 'b'}),
                                             attr(0x15, {'n', '1'})}, nullptr);
    const struct {
        Bytes m;
        int error;  // -1: refused
    } cases[] = {
        {good, 0}, {challenge, 401}, {message(0x0114, {attr(9, {0, 0, 4, 38})}, c.key), 438},
        {message(0x0103, {relayed}, c.key, false), 0}, {Bytes(good.begin(), good.end() - 1), -1},
        {with(good, 8, 0), -1}, {with(good, good.size() - 9, ~good[good.size() - 9]), -1},
        {with(good, good.size() - 1, ~good.back()), -1}, {with(message(0x0103, {relayed}, c.key, false), 30, 0), -1},
        {message(0x0103, {relayed}, other_key), -1}, {message(0x0103, {relayed}, nullptr), -1},
        {after_fingerprint, -1}, {message(0x0103, {attr(0x0016, with(kAddress, 1, 2))}, c.key), -1},
        {message(0x0103, {attr(0x000D, {0, 0, 30})}, c.key), -1}, {with(good, 23, 0xFF), -1},
        {message(0x0113, {}, nullptr), -1}, {message(0x0013, {relayed}, c.key), -1},
        {message(0x0113, {attr(9, {0, 0, 7, 1})}, nullptr), -1},
        {message(0x0113, {attr(9, {0, 0, 4, 1}), attr(0x14, Bytes(200, 'r'))}, nullptr), -1},
        {message(0x0113, {attr(9, {0, 0, 4, 1}), attr(0x14, {'a', 0, 'b'})}, nullptr), -1},
        {message(0x0113, {attr(9, {0, 0, 4, 1}), attr(0x15, Bytes(129, 'n'))}, nullptr), -1},
    };
    for (const auto& k : cases) {
        TurnResponse r{};
        EXPECT_EQ(turn_read_response(k.m.data(), k.m.size(), id, c, &r), k.error >= 0) << &k - cases;
        EXPECT_EQ(r.error, std::max(k.error, 0)) << &k - cases;
        EXPECT_TRUE(&k != cases || (r.relayed.ip == 0xC0000201 && r.relayed.port == 32853 && r.lifetime == 30));
        EXPECT_TRUE(&k != cases + 1 || (std::strcmp(r.realm, "lab") == 0 && r.nonce_size == 2 && r.nonce[1] == '1'));
    }

    // Data from a peer, in a Data indication (type 0x0017) or on a channel (0x4000 to 0x4FFF).
    const Bytes peer = attr(0x0012, kAddress), data = attr(0x0013, {'h', 'i'});
    const Bytes frame = {0x40, 1, 0, 2, 'h', 'i'};
    const struct {
        Bytes m;
        bool data;
    } carried[] = {{message(0x0017, {peer, data}, nullptr), true}, {message(0x0016, {peer, data}, nullptr), false},
                   {message(0x0017, {peer}, nullptr), false}, {message(0x0017, {data}, nullptr), false},
                   {message(0x0017, {attr(0x0012, {0, 1, 2}), data}, nullptr), false},
                   {with(message(0x0017, {peer, data}, nullptr), 35, 0xFF), false}, {frame, true},
                   {Bytes(frame.begin(), frame.end() - 1), false}, {Bytes(frame.begin(), frame.begin() + 3), false},
                   {with(frame, 0, 0x3F), false}, {with(frame, 0, 0x50), false}, {Bytes{0x4F, 0xFF, 0, 0}, true}};
    for (const auto& k : carried) {
        const std::uint8_t* payload = nullptr;
        std::size_t size = 0;
        platform::Endpoint from{};
        const bool read = k.m[0] < 0x40 ? turn_read_data(k.m.data(), k.m.size(), &from, &payload, &size)
                                        : turn_read_channel_data(k.m.data(), k.m.size(), &from.port, &payload, &size);
        EXPECT_EQ(read, k.data) << &k - carried;
        EXPECT_TRUE(!read || size == 0 || (payload[1] == 'i' && from.port == (k.m[0] < 0x40 ? 32853 : 0x4001)));
    }
}

TEST(AddressText, DottedQuadsAndPortWords) {
    const struct {
        const char* text;
        std::uint32_t ip;  // 42: refused
    } quads[] = {{"0.0.0.0", 0}, {"255.255.255.255", 0xFFFFFFFF}, {"9.99.100.199", 0x096364C7},
                 {"256.1.1.1", 42}, {"1.2.3", 42}, {"1.2.3.4.5", 42}, {"1.2.3.4 ", 42},
                 {" 1.2.3.4", 42}, {"01.2.3.4", 42}, {"1..3.4", 42}, {"1.2.3.", 42},
                 {"1.2.3.:", 42}, {"1.2.3./", 42}, {"1000.2.3.4", 42}, {"1.2.3.0009", 42}};
    for (const auto& c : quads) {
        std::uint32_t ip = 42;
        EXPECT_EQ(parse_ipv4(c.text, &ip), c.ip != 42) << c.text;
        EXPECT_EQ(ip, c.ip) << c.text;
        char back[kIpv4TextSize];
        format_ipv4(ip, back);
        EXPECT_TRUE(c.ip == 42 || std::strcmp(back, c.text) == 0) << back;
    }
    const struct {
        const char* text;
        std::uint16_t port;
    } ports[] = {{"5000", 5000}, {" \t\n\v\f\r7", 7}, {"\b7", 0}, {"\x0e" "7", 0}, {"+9", 0},
                 {"-1", 0}, {"-0", 0}, {"65546", 0}, {"12ab", 12}, {"ab12", 0}, {"", 0},
                 {"99999999999999999999", 0}, {"/9", 0}, {":9", 0}, {"3:9", 3}, {"1", 1},
                 {"65535\n", 65535}, {"65536", 0}, {"0000000000000000000065535x", 65535}};
    for (const auto& c : ports) EXPECT_EQ(parse_port_text(c.text), c.port) << c.text;
    // Peers: 1.0.0.0, 127.0.0.1, 223.255.255.255, 240.0.0.1, 255.255.255.254; none in 0.0.0.0/8,
    // 224.0.0.0/4 or 255.255.255.255.
    const std::uint32_t peers[] = {0x01000000, 0x7F000001, 0xDFFFFFFF, 0xF0000001, 0xFFFFFFFE,
                                   0, 0x00FFFFFF, 0xE0000000, 0xEFFFFFFF, 0xFFFFFFFF};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(is_unicast_ipv4(peers[i]), i < 5) << peers[i];
}

TEST(AddressText, PeerLinesOfBothFamilies) {
    const struct {
        const char* text;
        const char* read;  // as printed back; nullptr: refused
    } lines[] = {
        {"198.51.100.1:61023 [2001:DB8:a:0::2]:61023 10.1.0.2:1", "198.51.100.1:61023 [2001:db8:a::2]:61023 10.1.0.2:1"},
        {"Your peer line:  1.2.3.4:5\t1.2.3.4:5 [::1]:65535 ", "1.2.3.4:5 [::1]:65535"},
        {"1.2.3.4:5 1.2.3.4:6 1.2.3.4:7 1.2.3.4:8 1.2.3.4:9 1.2.3.4:10 1.2.3.4:11 1.2.3.4:12",
         "1.2.3.4:5 1.2.3.4:6 1.2.3.4:7 1.2.3.4:8 1.2.3.4:9 1.2.3.4:10 1.2.3.4:11 1.2.3.4:12"},
        {"1.2.3.4:5 1.2.3.4:6 1.2.3.4:7 1.2.3.4:8 1.2.3.4:9 1.2.3.4:10 1.2.3.4:11 1.2.3.4:12 1.2.3.4:13", nullptr},
        {"", nullptr}, {"Your peer line:", nullptr}, {"1.2.3.4", nullptr}, {"1.2.3.4:", nullptr},
        {"1.2.3.4:0", nullptr}, {"1.2.3.4:65536", nullptr}, {"1.2.3.4:+5", nullptr}, {"1.2.3.4:005000", nullptr},
        {":80", nullptr}, {"[]:80", nullptr}, {"[:80", nullptr}, {"[1.2.3.4]:5", nullptr},
        {"2001:db8::1:5", nullptr}, {"[2001:db8::1]5", nullptr}, {"[2001:db8::1%eth0]:5", nullptr},
        {"[ff02::1]:5", nullptr}, {"[fe80::1]:5", nullptr}, {"[::]:5", nullptr}, {"[::ffff:1.2.3.4]:5", nullptr},
        {"224.0.0.1:5", nullptr}, {"0.1.2.3:5", nullptr}, {"1.2.3.4:5 junk", nullptr},
        {"1.2.3.4:5,1.2.3.5:5", nullptr}, {"Your peer line 1.2.3.4:5", nullptr},
        // The tag, in either case and anywhere among the endpoints; once, and whole.
        {"tag=00112233445566778899 1.2.3.4:5", "1.2.3.4:5 tag=00112233445566778899"},
        {"1.2.3.4:5 tag=A0B1C2D3E4F5a6b7c8d9", "1.2.3.4:5 tag=a0b1c2d3e4f5a6b7c8d9"},
        {"tag=00112233445566778899", nullptr}, {"1.2.3.4:5 tag=0011223344556677889", nullptr},
        {"1.2.3.4:5 tag=001122334455667788990", nullptr}, {"1.2.3.4:5 tag=0011223344556677889g", nullptr},
        {"1.2.3.4:5 tag=00112233445566778899 tag=00112233445566778899", nullptr},
    };
    for (const auto& c : lines) {
        PeerLine line{{}, 99};
        char back[kPeerLineSize] = "untouched";
        EXPECT_EQ(parse_peer_line(c.text, &line), c.read != nullptr) << c.text;
        if (line.count != 99) format_peer_line(line, back);
        EXPECT_STREQ(back, c.read != nullptr ? c.read : "untouched") << c.text;
    }
    // A bare address keeps the two prompts; a colon, a bracket or two words mean a peer line.
    const char* meant[] = {"1.2.3.4:5", "[::1]", "2001:db8::zz", "a b", "Your peer line: x"};
    const char* bare[] = {"1.2.3.4", "2001:db8::1", "::ffff:1.2.3.4", " 1.2.3.4 ", "junk", ""};
    for (const char* t : meant) EXPECT_TRUE(looks_like_peer_line(t)) << t;
    for (const char* t : bare) EXPECT_FALSE(looks_like_peer_line(t)) << t;
}

TEST(Names, ResolveBothFamilies) {
    platform::Endpoint a[2] = {};
    std::size_t count = 0;
    EXPECT_FALSE(platform::resolve_addresses("127.0.0.1", a, 0, &count));  // no room
    EXPECT_FALSE(platform::resolve_addresses("no-such-host.invalid", a, 1, &count));
    EXPECT_TRUE(platform::resolve_addresses("127.0.0.1", a, 2, &count) && count == 1 && a[0].ip == 0x7F000001);
    EXPECT_TRUE(platform::resolve_addresses("::1", a, 2, &count) && count == 1 && a[0].v6 && a[0].ip6[15] == 1);
}

TEST(PeerDatagram, KindsDisplayAndCuts) {
    using K = DatagramKind;
    const struct {
        std::string bytes;
        K kind;
    } kinds[] = {{"PUNCH", K::punch}, {"PUNCH_ACK", K::punch_ack}, {"KEEPALIVE", K::keepalive},
                 {"PUNCHY", K::punch}, {"PUNCH_ACKed", K::punch_ack}, {"KEEPALIVE x", K::keepalive},
                 {"PUNCH_AC", K::punch}, {"PUNC", K::chat}, {"KEEPALIV", K::chat},
                 {"punch", K::chat}, {"", K::chat}, {"KEEPALIVE BYE", K::bye},
                 {"KEEPALIVE BYE!", K::keepalive}, {"KEEPALIVE BY", K::keepalive}};
    for (const auto& c : kinds) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
        EXPECT_EQ(classify_datagram(data, c.bytes.size()), c.kind) << c.bytes;
    }
    const struct {
        std::string in, out;
    } shown[] = {
        {"hello, world ~\t", "hello, world ~\t"}, {"\x1b[2J\x1f\x01\x07\x08\x0b", "?[2J?????"},
        {"two\nlines\r\x7f", "two?lines??"}, {std::string("zero\0hidden", 11), "zero"},
        {"\xc2\x80\xc3\xbc\xe2\x82\xac \xf0\x9f\x98\x80", "?\xc3\xbc\xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\x9b" "31m \xc2\x9f\xc2\xa0", "?31m ?\xc2\xa0"}, {"\x80\xbf\xc0\xaf\xc1\xbf", "??????"},
        {"\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
         "\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        {"\xe0\x9f\xbf\xed\xa0\x80", "??????"}, {"\xf0\x8f\xbf\xbf\xf4\x90\x80\x80\xf5", "?????????"},
        {"cut \xe2\x82", "cut ??"}, {"\xe2(x\xf0\x9f\x98(\xff", "?(x??" "?(?"},
        {"\x80\x80\x80\x80\xf8\x88\x80\x80", "????????"}};
    for (const auto& c : shown) {
        std::string out(c.in.size() + 1, 'X');
        const std::size_t n = sanitize_for_display(
            reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size(), out.data());
        EXPECT_EQ(out.substr(0, n + 1), c.out + '\0') << c.in;
    }
    const struct {
        std::string text;
        std::size_t kept;
    } cuts[] = {{"", 0}, {"ab", 2}, {"a\xc3", 1}, {"a\xc3\xa9", 3}, {"\xe2\x82", 0},
                {"a\xe2\x82\xac", 4}, {"\xf0\x9f\x98", 0}, {"\xf0\x9f\x98\x80", 4}, {"a\xf0", 1},
                {"\x80\x80", 2}, {"\xc3\xa9\xc3", 2}, {"a\xe0\xa0", 1}, {"a\xc0", 1}};
    for (const auto& c : cuts) EXPECT_EQ(utf8_cut(c.text.data(), c.text.size()), c.kept) << c.text;
}

// At its limit the console queue drops whole texts, and all that follow until the writer takes
// it; the writer then says how many.
TEST(ConsoleQueue, DropsWholeTextsAtTheLimitAndSaysHowMany) {
    ConsoleQueue q;
    q.limit = 10;
    std::string out;
    for (const char* text : {"12345", "6789", "abc", "d"}) console_queue_add(&q, text);
    console_queue_take(&q, &out);
    EXPECT_EQ(out, "123456789\n[2 messages were not shown: the console took no output for too long]\n> ");
    EXPECT_TRUE(console_queue_add(&q, "0123456789"));
    console_queue_take(&q, &out);
    EXPECT_EQ(out, "0123456789");
}

}  // namespace
