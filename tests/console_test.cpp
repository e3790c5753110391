#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/peer_entry.h"
#include "net/endpoint.h"
#include "net/ipv4_text.h"
#include "session/peer_session.h"
#include "support.h"

namespace {

struct Entry {
    std::string output;
    std::string ip;
    std::uint16_t port;
};

Entry enter(const std::string& typed, const char* local_ip = "192.168.1.20") {
    PeerSession s;
    session_init(&s);
    std::snprintf(s.local_ip, sizeof s.local_ip, "%s", local_ip);
    s.local_port = 40001;
    std::snprintf(s.public_ip, sizeof s.public_ip, "203.0.113.9");
    s.public_port = 50002;
    char ip[kPeerIpSize];
    std::snprintf(ip, sizeof ip, "203.0.113.9");
    std::uint16_t port = 50002;
    std::FILE* in = test::input_file(typed);
    test::begin_capture();
    prompt_peer_info(&s, ip, &port, in);
    std::string out = test::end_capture();
    std::fclose(in);
    session_destroy(&s);
    return {out, ip, port};
}

const char kScreen[] =
    "\n==============================================\n"
    "YOUR CONNECTION INFO:\n"
    "==============================================\n"
    "For peer on SAME LOCAL NETWORK:\n"
    "  IP:   192.168.1.20\n"
    "  Port: 40001\n"
    "\n"
    "For peer on SAME COMPUTER (localhost):\n"
    "  IP:   127.0.0.1\n"
    "  Port: 40001\n"
    "\n"
    "For peer on DIFFERENT NETWORK (internet):\n"
    "  IP:   203.0.113.9\n"
    "  Port: 50002\n"
    "==============================================\n"
    "\nIMPORTANT: For NAT traversal to work, both peers\n"
    "must start sending packets at roughly the same time!\n"
    "Coordinate with your peer before proceeding.\n\n"
    "Enter peer IP address: Enter peer port: ";

TEST(PeerEntry, ShowsTheScreenAndReadsBothValues) {
    Entry e = enter("198.51.100.4\n5000\n");
    EXPECT_EQ(e.output, kScreen);
    EXPECT_EQ(e.ip, "198.51.100.4");
    EXPECT_EQ(e.port, 5000);
}

TEST(PeerEntry, LeavesOutTheLanSectionWithoutAnAddress) {
    Entry e = enter("", "unknown");
    EXPECT_EQ(e.output.find("SAME LOCAL NETWORK"), std::string::npos);
    EXPECT_NE(e.output.find("==\nFor peer on SAME COMPUTER"), std::string::npos);
}

TEST(PeerEntry, ReadsLinesAsTyped) {
    const struct {
        const char* name;
        std::string typed;
        std::string ip;
        std::uint16_t port;
    } cases[] = {
        {"end of input keeps both", "", "203.0.113.9", 50002},
        {"end after address keeps port", "1.2.3.4\n", "1.2.3.4", 50002},
        {"empty address line", "\n7\n", "", 7},
        {"blanks kept", "  1.2.3.4 \n7\n", "  1.2.3.4 ", 7},
        {"empty port line", "1.2.3.4\n\n", "1.2.3.4", 0},
        {"letters first", "1.2.3.4\nab12\n", "1.2.3.4", 0},
        {"digits then letters", "1.2.3.4\n12ab\n", "1.2.3.4", 12},
        {"65546 wraps", "1.2.3.4\n65546\n", "1.2.3.4", 10},
        {"-1 wraps", "1.2.3.4\n-1\n", "1.2.3.4", 65535},
        {"huge number", "1.2.3.4\n99999999999999999999999\n", "1.2.3.4", 65535},
        {"300-char line", std::string(300, '9') + "\n", std::string(255, '9'), 65535},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Entry e = enter(c.typed);
        EXPECT_EQ(e.ip, c.ip);
        EXPECT_EQ(e.port, c.port);
    }
}

TEST(SafePrint, WritesPercentSignsLiterally) {
    PeerSession s;
    session_init(&s);
    test::begin_capture();
    safe_print(&s, "100% %s %d %n done\n");
    EXPECT_EQ(test::end_capture(), "100% %s %d %n done\n");
    session_destroy(&s);
}

TEST(LanAddress, FirstEntryOutsideLoopbackWins) {
    const struct {
        const char* name;
        std::vector<std::uint32_t> list;
        const char* expected;  // nullptr: none found
    } cases[] = {
        {"loopback only", {0x7F000001, 0x7F000101}, nullptr},
        {"after loopback", {0x7F000101, 0xC0A80114}, "192.168.1.20"},
        {"first of two", {0x0A000005, 0xC0A80114}, "10.0.0.5"},
        {"link-local counts", {0xA9FE0A01, 0xC0A80114}, "169.254.10.1"},
        {"empty", {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char out[16] = "untouched";
        EXPECT_EQ(pick_lan_address(c.list.data(), c.list.size(), out), c.expected != nullptr);
        EXPECT_STREQ(out, c.expected != nullptr ? c.expected : "untouched");
    }
}

TEST(Ipv4Text, AcceptsOnlyDottedQuads) {
    const struct {
        const char* text;
        bool ok;
        std::uint32_t ip;
    } cases[] = {
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 0xFFFFFFFF},
        {"192.168.1.100", true, 0xC0A80164},
        {"256.1.1.1", false, 0},
        {"1.2.3", false, 0},
        {"1.2.3.4.5", false, 0},
        {"1.2.3.4 ", false, 0},
        {" 1.2.3.4", false, 0},
        {"01.2.3.4", false, 0},
        {"1..3.4", false, 0},
        {"1.2.3.", false, 0},
        {"0x1.2.3.4", false, 0},
        {"1.2.3.-4", false, 0},
        {"1000.2.3.4", false, 0},
        {"localhost", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        std::uint32_t ip = 42;
        EXPECT_EQ(parse_ipv4(c.text, &ip), c.ok) << c.text;
        EXPECT_EQ(ip, c.ok ? c.ip : 42u) << c.text;
        if (c.ok) {
            char back[kIpv4TextSize];
            format_ipv4(ip, back);
            EXPECT_STREQ(back, c.text);
        }
    }
}

}  // namespace
