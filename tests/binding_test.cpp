// The Binding response decoder: RFC 5769's sample and its malformed twins.

#include "stun/binding.h"
#include "support.h"

namespace {

using test::attr;
using test::Bytes;
using test::kRfc5769Response;
using test::with;

// The sample's header around `attrs` and `extra` bytes, all counted by Message Length.
Bytes response(const std::vector<Bytes>& attrs, std::size_t extra = 0) {
    Bytes m(kRfc5769Response.begin(), kRfc5769Response.begin() + 20);
    for (const Bytes& a : attrs) m.insert(m.end(), a.begin(), a.end());
    m.resize(m.size() + extra, 0);
    m[3] = static_cast<std::uint8_t>(m.size() - 20);
    return m;
}

TEST(Binding, DecodesOrRefusesEachResponse) {
    const Bytes& sample = kRfc5769Response;
    const Bytes& address = test::kXorAddress;
    const Bytes x = attr(0x0020, address), m = attr(0x0001, address), bad = attr(0x20, {1, 1});
    const char* xa = "192.0.2.1";
    const char* ma = "225.18.166.67";
    // RFC 5769's IPv6 response carries this XOR-MAPPED-ADDRESS under the same transaction id.
    const Bytes k6 = {0, 2, 0xa1, 0x47, 0x01, 0x13, 0xa9, 0xfa, 0xa5, 0xd3, 0xf1, 0x79, 0xbc, 0x25, 0xf4, 0xb5, 0xbe, 0xd2, 0xb9, 0xd9};
    const char* x6 = "2001:db8:1234:5678:11:2233:4455:6677";
    const Bytes x6a = attr(0x0020, k6), family3 = attr(0x0020, with(address, 1, 3));
    const struct {
        const char* name;
        Bytes message;
        const char* ip = nullptr;  // refused
        bool over6 = false;  // the request went over IPv6
    } rows[] = {
        {.name = "RFC 5769's sample", .message = sample, .ip = xa}, {.name = "MAPPED-ADDRESS alone", .message = response({m}), .ip = ma},
        {.name = "MAPPED-ADDRESS first", .message = response({m, x}), .ip = ma},
        {.name = "XOR-MAPPED-ADDRESS first", .message = response({x, m}), .ip = xa},
        {.name = "11 bytes stepped over by 16", .message = response({attr(0x8022, Bytes(11, 'a')), x}), .ip = xa},
        {.name = "IPv6 over IPv6", .message = response({x6a}), .ip = x6, .over6 = true}, {.name = "IPv6 over IPv4", .message = response({x6a})},
        {.name = "over IPv4, IPv6 and a short one passed by", .message = response({x6a, attr(0x0020, Bytes(4, 0)), m}), .ip = ma},
        {.name = "over IPv6, IPv6 before IPv4", .message = response({x6a, x}), .ip = x6, .over6 = true},
        {.name = "over IPv6, IPv4 alone", .message = response({x, m}), .over6 = true},
        {.name = "IPv6 a byte short", .message = response({attr(0x0020, Bytes(k6.begin(), k6.end() - 1)), m}), .ip = ma},
        {.name = "IPv6 in 8 bytes", .message = response({attr(0x0020, with(address, 1, 2)), m}), .ip = ma},
        {.name = "family 3, then MAPPED-ADDRESS", .message = response({family3, m}), .ip = ma},
        {.name = "an address of 2 bytes", .message = response({bad, m}), .ip = ma},
        {.name = "another attribute's bytes", .message = response({attr(0x0021, address), x}), .ip = xa},
        {.name = "family 3 alone", .message = response({family3})},
        {.name = "shorter than a header", .message = Bytes(sample.begin(), sample.begin() + 19)}, {.name = "no attributes", .message = response({})},
        {.name = "an error response", .message = with(sample, 1, 0x11)}, {.name = "a request", .message = with(sample, 0, 0)},
        {.name = "another magic cookie", .message = with(sample, 7, 0x43)},
        {.name = "another transaction, first byte", .message = with(sample, 8, 0xb6)},
        {.name = "another transaction, last byte", .message = with(sample, 19, 0xaf)},
        {.name = "truncated by one byte", .message = Bytes(sample.begin(), sample.end() - 1)},
        {.name = "a length past what came", .message = with(response({x}), 3, 20)},
        {.name = "MAPPED-ADDRESS a byte short", .message = response({attr(1, Bytes(address.begin(), address.end() - 1))})},
        {.name = "an attribute past the end", .message = response({attr(0x0020, address, 12)})},
        {.name = "an attribute far past the end", .message = response({bad, attr(1, address, 200)})},
        {.name = "a length not a multiple of 4", .message = response({attr(0x8022, Bytes(4, 'x'))}, 3)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // A copy holds exactly the bytes, so AddressSanitizer sees any read past the received ones.
        const Bytes data(row.message);
        platform::Endpoint mapped{7, 7};
        EXPECT_EQ(parse_binding_response(data.data(), static_cast<std::int32_t>(data.size()), test::kRfc5769Id, row.over6, &mapped),
                  row.ip != nullptr);
        char ip[kAddressTextSize] = "untouched";
        if (mapped.ip != 7) format_address(mapped, ip);
        EXPECT_STREQ(ip, row.ip != nullptr ? row.ip : "untouched");
        EXPECT_EQ(mapped.port, row.ip == nullptr ? 7 : row.ip == ma ? 41287 : 32853);
    }
}

}  // namespace
