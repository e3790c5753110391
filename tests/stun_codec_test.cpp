#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "stun/binding.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The IPv4 Binding Success Response sample of RFC 5769: SOFTWARE, XOR-MAPPED-ADDRESS of
// 192.0.2.1:32853, MESSAGE-INTEGRITY and FINGERPRINT.
const Bytes kSample = {
    0x01, 0x01, 0x00, 0x3c, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34,
    0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b, 0x74, 0x65, 0x73, 0x74,
    0x20, 0x76, 0x65, 0x63, 0x74, 0x6f, 0x72, 0x20, 0x00, 0x20, 0x00, 0x08, 0x00, 0x01,
    0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43, 0x00, 0x08, 0x00, 0x14, 0x2b, 0x91, 0xf5, 0x99,
    0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74, 0x89, 0xf9, 0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b,
    0xe7, 0xd7, 0x80, 0x28, 0x00, 0x04, 0xc0, 0x7d, 0x4c, 0x96};
const std::uint8_t* kSampleId = kSample.data() + 8;

const Bytes kAddressValue = {0x00, 0x01, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43};

Bytes attribute(std::uint16_t type, const Bytes& value, std::uint16_t claimed_length) {
    Bytes a((4 + value.size() + 3) / 4 * 4, 0xEE);  // padded to a multiple of 4
    a[0] = static_cast<std::uint8_t>(type >> 8);
    a[1] = static_cast<std::uint8_t>(type);
    a[2] = static_cast<std::uint8_t>(claimed_length >> 8);
    a[3] = static_cast<std::uint8_t>(claimed_length);
    std::copy(value.begin(), value.end(), a.begin() + 4);
    return a;
}

Bytes attribute(std::uint16_t type, const Bytes& value) {
    return attribute(type, value, static_cast<std::uint16_t>(value.size()));
}

// A response with the sample's header (id included) around the given attributes.
Bytes response(const std::vector<Bytes>& attributes) {
    Bytes m(kSample.begin(), kSample.begin() + 20);
    for (const Bytes& a : attributes) m.insert(m.end(), a.begin(), a.end());
    m[2] = static_cast<std::uint8_t>((m.size() - 20) >> 8);
    m[3] = static_cast<std::uint8_t>(m.size() - 20);
    return m;
}

Bytes with(Bytes m, std::size_t at, std::uint8_t value) {
    m[at] = value;
    return m;
}

struct Case {
    const char* name;
    Bytes message;
    bool accepted;
    const char* ip;
    std::uint16_t port;
};

std::vector<Case> cases() {
    const Bytes xor_addr = attribute(0x0020, kAddressValue);
    const Bytes mapped = attribute(0x0001, kAddressValue);
    Bytes family2 = kAddressValue;
    family2[1] = 0x02;
    family2.resize(20, 0);
    const Bytes truncated(kSample.begin(), kSample.end() - 1);
    Bytes lying = kSample;
    lying[3] = 0x40;  // claims 64 attribute bytes; 60 arrived
    Bytes trailing = response({attribute(0x8022, {'x', 'y', 'z', 'w'})});
    trailing.insert(trailing.end(), {0, 0, 0});
    trailing[3] = static_cast<std::uint8_t>(trailing.size() - 20);
    return {
        {"rfc5769 sample", kSample, true, "192.0.2.1", 32853},
        {"mapped address", response({mapped}), true, "225.18.166.67", 41287},
        {"mapped before xor wins", response({mapped, xor_addr}), true, "225.18.166.67", 41287},
        {"xor before mapped wins", response({xor_addr, mapped}), true, "192.0.2.1", 32853},
        {"length 11 skipped by 16", response({attribute(0x8022, Bytes(11, 'a')), xor_addr}), true,
         "192.0.2.1", 32853},
        {"family 2 skipped by 24", response({attribute(0x0020, family2), mapped}), true,
         "225.18.166.67", 41287},
        {"short address skipped by 8", response({attribute(0x0020, Bytes(4, 1)), xor_addr}),
         true, "192.0.2.1", 32853},
        {"comprehension-required skipped", response({attribute(0x0007, {1, 2, 3, 4}), xor_addr}),
         true, "192.0.2.1", 32853},
        {"19 bytes", Bytes(kSample.begin(), kSample.begin() + 19), false, "", 0},
        {"header only", response({}), false, "", 0},
        {"error response", with(kSample, 1, 0x11), false, "", 0},
        {"binding request", with(kSample, 0, 0x00), false, "", 0},
        {"wrong cookie", with(kSample, 7, 0x43), false, "", 0},
        {"id differs in last byte", with(kSample, 19, 0xaf), false, "", 0},
        {"id differs in first byte", with(kSample, 8, 0xb6), false, "", 0},
        {"one byte missing", truncated, false, "", 0},
        {"message length lies", lying, false, "", 0},
        {"family 2 alone", response({attribute(0x0020, family2)}), false, "", 0},
        {"attribute runs past message", response({attribute(0x0020, kAddressValue, 12)}), false,
         "", 0},
        {"overrun after unusable address",
         response({attribute(0x0020, Bytes(4, 1)), attribute(0x0001, kAddressValue, 200)}),
         false, "", 0},
        {"trailing bytes, no address", trailing, false, "", 0},
    };
}

TEST(StunCodec, DecodesOrRefusesEachResponse) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        // Exact-size heap copy, so AddressSanitizer sees any read past the received bytes.
        auto* data = new std::uint8_t[c.message.size()];
        std::memcpy(data, c.message.data(), c.message.size());
        char ip[16] = "untouched";
        std::uint16_t port = 7;
        const bool ok = parse_binding_response(data, static_cast<std::int32_t>(c.message.size()),
                                               kSampleId, ip, &port);
        delete[] data;
        EXPECT_EQ(ok, c.accepted);
        EXPECT_STREQ(ip, c.accepted ? c.ip : "untouched");
        EXPECT_EQ(port, c.accepted ? c.port : 7);
    }
}

TEST(StunCodec, RequestIsTwentyBytesCarryingItsFreshId) {
    std::uint8_t request[20];
    std::uint8_t id[12];
    std::int32_t length = 0;
    build_binding_request(request, &length, id);
    const std::uint8_t header[8] = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
    EXPECT_EQ(length, 20);
    EXPECT_EQ(std::memcmp(request, header, 8), 0);
    EXPECT_EQ(std::memcmp(request + 8, id, 12), 0);

    std::uint8_t second[20];
    std::uint8_t second_id[12];
    build_binding_request(second, &length, second_id);
    EXPECT_NE(std::memcmp(id, second_id, 12), 0) << "every request gets a new id";
    EXPECT_EQ(std::memcmp(second + 8, second_id, 12), 0);
}

}  // namespace
