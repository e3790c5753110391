// Addresses as people type them: dotted quads, port words, which addresses can be a peer, and
// peer lines of both families.

#include "address/address_text.h"
#include "support.h"

TEST(AddressText, DottedQuadsAndPortWords) {
    const struct { const char* text; std::uint32_t ip; } quads[] = {  // ip 42: refused
        {"0.0.0.0", 0}, {"255.255.255.255", 0xFFFFFFFF}, {"9.99.100.199", 0x096364C7}, {"256.1.1.1", 42}, {"1.2.3", 42},
        {"1.2.3.4.5", 42}, {"1.2.3.4 ", 42}, {" 1.2.3.4", 42}, {"01.2.3.4", 42}, {"1..3.4", 42}, {"1.2.3.", 42},
        {"1.2.3.:", 42}, {"1.2.3./", 42}, {"1000.2.3.4", 42}, {"1.2.3.0009", 42}};
    for (const auto& c : quads) {
        std::uint32_t ip = 42;
        EXPECT_EQ(parse_ipv4(c.text, &ip), c.ip != 42) << c.text;
        EXPECT_EQ(ip, c.ip) << c.text;
        char back[kIpv4TextSize];
        format_ipv4(ip, back);
        EXPECT_TRUE(c.ip == 42 || std::strcmp(back, c.text) == 0) << back;
    }
    const struct { const char* text; std::uint16_t port; } ports[] = {
        {"5000", 5000}, {" \t\n\v\f\r7", 7}, {"\b7", 0}, {"\x0e" "7", 0}, {"+9", 0}, {"-1", 0}, {"-0", 0}, {"65546", 0},
        {"12ab", 12}, {"ab12", 0}, {"", 0}, {"99999999999999999999", 0}, {"/9", 0}, {":9", 0}, {"3:9", 3}, {"1", 1},
        {"65535\n", 65535}, {"65536", 0}, {"0000000000000000000065535x", 65535}};
    for (const auto& c : ports) EXPECT_EQ(parse_port_text(c.text), c.port) << c.text;
    // Peers: 1.0.0.0, 127.0.0.1, 223.255.255.255, 240.0.0.1, 255.255.255.254; none in 0.0.0.0/8,
    // 224.0.0.0/4 or 255.255.255.255.
    const std::uint32_t peers[] = {0x01000000, 0x7F000001, 0xDFFFFFFF, 0xF0000001, 0xFFFFFFFE, 0, 0x00FFFFFF, 0xE0000000, 0xEFFFFFFF, 0xFFFFFFFF};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(is_unicast_ipv4(peers[i]), i < 5) << peers[i];
}

TEST(AddressText, PeerLinesOfBothFamilies) {
    const struct { const char* text; const char* read; } lines[] = {  // `read` as printed back; nullptr: refused
        {"198.51.100.1:61023 [2001:DB8:a:0::2]:61023 10.1.0.2:1", "198.51.100.1:61023 [2001:db8:a::2]:61023 10.1.0.2:1"},
        {"Your peer line:  1.2.3.4:5\t1.2.3.4:5 [::1]:65535 ", "1.2.3.4:5 [::1]:65535"},
        {"1.2.3.4:5 1.2.3.4:6 1.2.3.4:7 1.2.3.4:8 1.2.3.4:9 1.2.3.4:10 1.2.3.4:11 1.2.3.4:12",
         "1.2.3.4:5 1.2.3.4:6 1.2.3.4:7 1.2.3.4:8 1.2.3.4:9 1.2.3.4:10 1.2.3.4:11 1.2.3.4:12"},
        {"1.2.3.4:5 1.2.3.4:6 1.2.3.4:7 1.2.3.4:8 1.2.3.4:9 1.2.3.4:10 1.2.3.4:11 1.2.3.4:12 1.2.3.4:13", nullptr},
        {"", nullptr}, {"Your peer line:", nullptr}, {"1.2.3.4", nullptr}, {"1.2.3.4:", nullptr},
        {"1.2.3.4:5 1.2.3.4:0", nullptr}, {"1.2.3.4:5 1.2.3.4:65536", nullptr}, {"1.2.3.4:+5", nullptr}, {"1.2.3.4:005000", nullptr},
        {"1.2.3.4:5 :80", nullptr}, {"[]:80", nullptr}, {"[:80", nullptr}, {"[1.2.3.4]:5", nullptr},
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
        // The first IPv4 endpoint after a tag that follows an endpoint is the relayed address.
        {"1.2.3.4:5 tag=00112233445566778899 5.6.7.8:9", "1.2.3.4:5 tag=00112233445566778899 5.6.7.8:9"},
        {"1.2.3.4:5 tag=00112233445566778899 [::2]:5 5.6.7.8:9 5.6.7.9:9 5.6.7.8:9",
         "1.2.3.4:5 [::2]:5 5.6.7.9:9 tag=00112233445566778899 5.6.7.8:9"},
        {"1.2.3.4:5 tag=00112233445566778899 1.2.3.4:5", "1.2.3.4:5 tag=00112233445566778899"},
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
