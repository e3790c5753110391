// The router's answers to PCP MAP and NAT-PMP, each with its hostile twins.

#include "portmap/pcp.h"
#include "support.h"

namespace {

using test::Bytes, test::with;

const std::uint8_t kNonce[kPcpNonceSize] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
constexpr std::uint16_t kPort = 40000;

// A MAP response granting 198.51.100.11:40001 for 7200 s, as a router answers our request.
Bytes pcp_grant() {
    std::uint8_t request[kPcpMapSize];
    pcp_map_request(request, 0xC000020A, kPort, kPort, 7200, kNonce);
    Bytes m(request, request + kPcpMapSize);
    for (std::size_t i = 8; i < 24; ++i) m[i] = 0;  // epoch time and reserved, where the client was
    m[1] = 0x81, m[3] = 0, m[42] = 0x9C, m[43] = 0x41, m[56] = 198, m[57] = 51, m[58] = 100, m[59] = 11;
    return m;
}

TEST(Pcp, MapAnswersAndEveryHostileTwin) {
    const Bytes good = pcp_grant();
    const Bytes options = [&] { Bytes o = good; o.resize(kPcpMaxSize, 0); return o; }(), v6 = with(good, 54, 0),
                zero_ip = with(with(with(with(good, 56, 0), 57, 0), 58, 0), 59, 0);
    const struct { const char* name; Bytes m; int result; } rows[] = {  // result -1: not our answer
        {"a grant", good, 0}, {"a refusal (NO_RESOURCES)", with(with(good, 3, 8), 42, 0), 8}, {"with options after it, up to the largest size", options, 0},
        {"truncated", Bytes(good.begin(), good.end() - 4), -1}, {"oversized", Bytes(1104, 0), -1},
        {"not in words of four", Bytes(good.begin(), good.end() - 1), -1}, {"version 1", with(good, 0, 1), -1},
        {"a request, not a response", with(good, 1, 1), -1}, {"another opcode (PEER)", with(good, 1, 0x82), -1},
        {"another nonce", with(good, 30, 0), -1}, {"TCP", with(good, 36, 6), -1}, {"another internal port", with(good, 41, 0x41), -1},
        {"a grant of an IPv6 address", v6, -1}, {"a grant of port 0", with(with(good, 42, 0), 43, 0), -1}, {"a grant of 0.0.0.0", zero_ip, -1},
        {"a grant of no time", with(with(good, 6, 0), 7, 0), -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MapAnswer a{99, 0, {0, 0}};
        EXPECT_EQ(pcp_map_answer(row.m.data(), row.m.size(), kNonce, kPort, &a), row.result >= 0);
        EXPECT_EQ(a.result, row.result >= 0 ? row.result : 99);
        EXPECT_TRUE(row.result != 0 || (a.external.ip == 0xC633640B && a.external.port == 40001 && a.lifetime == 7200));
    }
}

TEST(Pcp, NatPmpAnswersAndEveryHostileTwin) {
    std::uint8_t request[kNatPmpMapSize];
    natpmp_map_request(request, kPort, kPort, 7200);
    EXPECT_EQ(Bytes(request, request + 12), (Bytes{0, 1, 0, 0, 0x9C, 0x40, 0x9C, 0x40, 0, 0, 0x1C, 0x20}));
    const Bytes map = {0, 129, 0, 0, 0, 0, 0, 9, 0x9C, 0x40, 0x9C, 0x41, 0, 0, 0x1C, 0x20};
    const Bytes address = {0, 128, 0, 0, 0, 0, 0, 9, 198, 51, 100, 11}, long_map = [&] { Bytes m = map; m.push_back(0); return m; }();
    const struct { const char* name; Bytes m; bool address; int result; } rows[] = {
        {"a mapping", map, false, 0}, {"refused (out of resources)", with(with(map, 3, 4), 11, 0), false, 4},
        {"a byte short", Bytes(map.begin(), map.end() - 1), false, -1}, {"a byte long", long_map, false, -1},
        {"version 2", with(map, 0, 2), false, -1}, {"TCP's answer", with(map, 1, 130), false, -1}, {"a grant of no time", with(with(map, 14, 0), 15, 0), false, -1},
        {"another internal port", with(map, 9, 0x41), false, -1}, {"a grant of port 0", with(with(map, 10, 0), 11, 0), false, -1},
        {"the address", address, true, 0}, {"the address refused", with(address, 3, 3), true, 3},
        {"the address truncated", Bytes(address.begin(), address.end() - 1), true, -1},
        {"the address as a mapping's answer", with(address, 1, 129), true, -1}, {"address 0.0.0.0", with(with(with(with(address, 8, 0), 9, 0), 10, 0), 11, 0), true, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MapAnswer a{99, 0, {0, 0}};
        const bool read = row.address ? natpmp_address_answer(row.m.data(), row.m.size(), &a)
                                      : natpmp_map_answer(row.m.data(), row.m.size(), kPort, &a);
        EXPECT_EQ(read, row.result >= 0);
        EXPECT_EQ(a.result, row.result >= 0 ? row.result : 99);
        EXPECT_TRUE(row.result != 0 || (row.address ? a.external.ip == 0xC633640B : a.external.port == 40001 && a.lifetime == 7200));
    }
}

}  // namespace
