// Pure decoders and text rules, each as one table: the STUN codec with its malformed twins,
// dotted quads, port words, the LAN address choice, datagram kinds and the display filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/endpoint.h"
#include "peer/protocol.h"
#include "shared/address_text.h"
#include "stun/binding.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// RFC 5769's IPv4 Binding Success Response: SOFTWARE, XOR-MAPPED-ADDRESS 192.0.2.1:32853,
// MESSAGE-INTEGRITY, FINGERPRINT.
const Bytes kSample = {
    0x01, 0x01, 0x00, 0x3c, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86,
    0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b, 0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63,
    0x74, 0x6f, 0x72, 0x20, 0x00, 0x20, 0x00, 0x08, 0x00, 0x01, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43,
    0x00, 0x08, 0x00, 0x14, 0x2b, 0x91, 0xf5, 0x99, 0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74, 0x89, 0xf9,
    0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b, 0xe7, 0xd7, 0x80, 0x28, 0x00, 0x04, 0xc0, 0x7d, 0x4c, 0x96};
const Bytes kAddress = {0x00, 0x01, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43};

// An attribute padded to 4 bytes; `length` may lie about the value.
Bytes attr(std::uint16_t type, const Bytes& value, int length = -1) {
    const auto n = static_cast<std::uint16_t>(length < 0 ? value.size() : length);
    Bytes a((4 + value.size() + 3) / 4 * 4, 0xEE);
    a[0] = static_cast<std::uint8_t>(type >> 8);
    a[1] = static_cast<std::uint8_t>(type);
    a[2] = static_cast<std::uint8_t>(n >> 8);
    a[3] = static_cast<std::uint8_t>(n);
    std::copy(value.begin(), value.end(), a.begin() + 4);
    return a;
}

// The sample's header around `attrs`, followed by `extra` bytes that Message Length counts.
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
    const Bytes xor_a = attr(0x0020, kAddress), mapped = attr(0x0001, kAddress);
    Bytes family2 = with(kAddress, 1, 0x02);
    family2.resize(20, 0);
    const struct {
        const char* name;
        Bytes message;
        const char* ip;  // nullptr: refused
        std::uint16_t port;
    } cases[] = {
        {"rfc5769 sample", kSample, "192.0.2.1", 32853},
        {"mapped", response({mapped}), "225.18.166.67", 41287},
        {"mapped before xor wins", response({mapped, xor_a}), "225.18.166.67", 41287},
        {"xor before mapped wins", response({xor_a, mapped}), "192.0.2.1", 32853},
        {"length 11 stepped by 16", response({attr(0x8022, Bytes(11, 'a')), xor_a}), "192.0.2.1",
         32853},
        {"family 2 stepped by 24", response({attr(0x0020, family2), mapped}), "225.18.166.67",
         41287},
        {"short address stepped by 8", response({attr(0x0020, Bytes(4, 1)), mapped}),
         "225.18.166.67", 41287},
        {"other type stepped", response({attr(0x0021, kAddress), xor_a}), "192.0.2.1", 32853},
        {"19 bytes", Bytes(kSample.begin(), kSample.begin() + 19), nullptr, 0},
        {"header only", response({}), nullptr, 0},
        {"error response", with(kSample, 1, 0x11), nullptr, 0},
        {"request", with(kSample, 0, 0x00), nullptr, 0},
        {"wrong cookie", with(kSample, 7, 0x43), nullptr, 0},
        {"id differs first", with(kSample, 8, 0xb6), nullptr, 0},
        {"id differs last", with(kSample, 19, 0xaf), nullptr, 0},
        {"one byte missing", Bytes(kSample.begin(), kSample.end() - 1), nullptr, 0},
        {"family 2 alone", response({attr(0x0020, family2)}), nullptr, 0},
        {"7-byte address", response({attr(0x0001, Bytes(kAddress.begin(), kAddress.end() - 1))}),
         nullptr, 0},
        {"runs past message", response({attr(0x0020, kAddress, 12)}), nullptr, 0},
        {"overrun after unusable", response({attr(0x0020, Bytes(4, 1)), attr(1, kAddress, 200)}),
         nullptr, 0},
        {"three trailing bytes", response({attr(0x8022, Bytes(4, 'x'))}, 3), nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // An exact-size heap copy, so AddressSanitizer sees any read past the received bytes.
        std::vector<std::uint8_t>* data = new std::vector<std::uint8_t>(c.message);
        data->shrink_to_fit();
        char ip[16] = "untouched";
        std::uint16_t port = 7;
        const bool ok = parse_binding_response(
            data->data(), static_cast<std::int32_t>(data->size()), kSample.data() + 8, ip, &port);
        delete data;
        EXPECT_EQ(ok, c.ip != nullptr);
        EXPECT_STREQ(ip, c.ip != nullptr ? c.ip : "untouched");
        EXPECT_EQ(port, c.ip != nullptr ? c.port : 7);
    }
}

TEST(StunCodec, RequestIsTwentyBytesCarryingAFreshId) {
    std::uint8_t request[2][20], id[2][12];
    std::int32_t length = 0;
    const std::uint8_t header[8] = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
    for (int i = 0; i < 2; ++i) {
        build_binding_request(request[i], &length, id[i]);
        EXPECT_EQ(length, 20);
        EXPECT_EQ(std::memcmp(request[i], header, 8), 0);
        EXPECT_EQ(std::memcmp(request[i] + 8, id[i], 12), 0);
    }
    EXPECT_NE(std::memcmp(id[0], id[1], 12), 0);
}

TEST(AddressText, DottedQuadsOnly) {
    const struct {
        const char* text;
        std::uint32_t ip;  // 42: refused
    } cases[] = {
        {"0.0.0.0", 0},           {"255.255.255.255", 0xFFFFFFFF}, {"192.168.1.100", 0xC0A80164},
        {"9.99.100.199", 0x0963 << 16 | 0x64C7},                   {"256.1.1.1", 42},
        {"1.2.3", 42},            {"1.2.3.4.5", 42},               {"1.2.3.4 ", 42},
        {" 1.2.3.4", 42},         {"01.2.3.4", 42},                {"1..3.4", 42},
        {"1.2.3.", 42},           {"1.2.3.:", 42},                 {"1.2.3./", 42},
        {"1000.2.3.4", 42},       {"1.2.3.0009", 42},              {"", 42},
    };
    for (const auto& c : cases) {
        std::uint32_t ip = 42;
        EXPECT_EQ(parse_ipv4(c.text, &ip), c.ip != 42) << c.text;
        EXPECT_EQ(ip, c.ip) << c.text;
        char back[kIpv4TextSize];
        format_ipv4(ip, back);
        if (c.ip != 42) {
            EXPECT_STREQ(back, c.text);
        }
    }
}

TEST(AddressText, PortWordsReadAsAtoiModulo65536) {
    const struct {
        const char* text;
        std::uint16_t port;
    } cases[] = {
        {"5000", 5000}, {" \t\n\v\f\r7", 7}, {"\b7", 0},   {"\x0e" "7", 0}, {"+9", 9},
        {"-1", 65535},  {"65546", 10},       {"12ab", 12}, {"ab12", 0},     {"", 0},
        {"99999999999999999999", 65535},    {"/9", 0},    {":9", 0},       {"3:9", 3},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_port_text(c.text), c.port) << c.text;
}

TEST(LanAddress, FirstOutsideLoopbackWins) {
    const struct {
        std::vector<std::uint32_t> list;
        const char* expected;  // nullptr: none
    } cases[] = {
        {{0x7F000001, 0x7F000101}, nullptr},
        {{0x7F000101, 0xC0A80114}, "192.168.1.20"},
        {{0x0A000005, 0xC0A80114}, "10.0.0.5"},
        {{0xA9FE0A01}, "169.254.10.1"},
        {{}, nullptr},
    };
    for (const auto& c : cases) {
        char out[16] = "untouched";
        EXPECT_EQ(pick_lan_address(c.list.data(), c.list.size(), out), c.expected != nullptr);
        EXPECT_STREQ(out, c.expected != nullptr ? c.expected : "untouched");
    }
}

TEST(PeerDatagram, KindByPrefixInOrder) {
    const struct {
        std::string bytes;
        DatagramKind kind;
    } cases[] = {
        {"PUNCH", DatagramKind::punch},         {"PUNCH_ACK", DatagramKind::punch_ack},
        {"KEEPALIVE", DatagramKind::keepalive}, {"PUNCHY", DatagramKind::punch},
        {"PUNCH_ACKed", DatagramKind::punch_ack}, {"KEEPALIVE x", DatagramKind::keepalive},
        {"PUNCH_AC", DatagramKind::punch},      {"PUNC", DatagramKind::chat},
        {"KEEPALIV", DatagramKind::chat},       {"punch", DatagramKind::chat},
        {"", DatagramKind::chat},               {"KEEPALIVE BYE", DatagramKind::bye},
        {"KEEPALIVE BYE!", DatagramKind::keepalive}, {"KEEPALIVE BY", DatagramKind::keepalive},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classify_datagram(reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                                    c.bytes.size()),
                  c.kind)
            << c.bytes;
    }
}

TEST(PeerDatagram, DisplayShowsOnlyPrintableText) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"hello, world ~", "hello, world ~"},
        {"tab\there", "tab\there"},
        {"\x1b[2J\x1f\x01\x07\x08\x0b", "?[2J?????"},
        {"two\nlines\r", "two?lines?"},
        {"del\x7f", "del?"},
        {"\xc2\x80\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbd",
         "?\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbd"},
        {"c1 \xc2\x9b" "31m \xc2\x9f\xc2\xa0", "c1 ?31m ?\xc2\xa0"},
        {"\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
         "\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        {"\x80\xbf\xc0\xaf\xc1\xbf", "??????"},
        {"\xe0\x9f\xbf\xed\xa0\x80", "??????"},
        {"\xf0\x8f\xbf\xbf\xf4\x90\x80\x80\xf5\x80", "??????????"},
        {"cut \xe2\x82", "cut ??"},
        {"\xe2(x\xf0\x9f\x98(", "?(x??" "?("},
        {"\xff\xfe", "??"},
        {std::string("zero\0hidden", 11), "zero"},
    };
    for (const auto& c : cases) {
        std::string out(c.in.size() + 1, 'X');
        const std::size_t n = sanitize_for_display(
            reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size(), out.data());
        EXPECT_EQ(out.substr(0, n + 1), c.out + '\0') << c.in;
    }
}

TEST(PeerDatagram, LongLinesAreCutBetweenCharacters) {
    const struct {
        std::string text;
        std::size_t kept;
    } cases[] = {
        {"", 0},        {"ab", 2},          {"a\xc3", 1},          {"a\xc3\xa9", 3},
        {"\xe2\x82", 0}, {"a\xe2\x82\xac", 4}, {"\xf0\x9f\x98", 0},  {"\xf0\x9f\x98\x80", 4},
        {"a\xf0", 1},    {"\x80\x80", 2},     {"\xc3\xa9\xc3", 2},
    };
    for (const auto& c : cases) EXPECT_EQ(utf8_cut(c.text.data(), c.text.size()), c.kept) << c.text;
}

}  // namespace
