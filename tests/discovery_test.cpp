// Public address discovery against a scripted STUN responder on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "stun/discovery.h"
#include "support.h"

namespace {

using test::StunResponder;
using Answers = std::vector<std::string>;

constexpr std::uint32_t kMapped = 0xC6336407;  // 198.51.100.7

TEST(Discovery, ScriptedServers) {
    test::UdpSocket liar;
    platform::Endpoint client_at{0, 0};
    const struct {
        const char* name;
        StunResponder::Reply reply;
        std::vector<int> retries;  // the attempts reported as failed
        const char* last;
        int requests;
        double min_s, max_s;
    } cases[] = {
        {"first answer",
         [](int, const std::string& req) { return Answers{test::binding_success(req, kMapped, 40000)}; },
         {}, "External address: 198.51.100.7:40000", 1, 0, 1},
        {"third answer",
         [](int n, const std::string& req) {
             return n < 3 ? Answers{} : Answers{test::binding_success(req, kMapped, 65535)};
         },
         {1, 2}, "External address: 198.51.100.7:65535", 3, 3.9, 5},
        {"silent", [](int, const std::string&) { return Answers{}; }, {1, 2, 3, 4},
         "Failed to discover external address", 5, 9.9, 12},
        {"strays end attempts early", [](int, const std::string&) { return Answers{"stray"}; },
         {1, 2, 3, 4}, "Failed to discover external address", 5, 0, 1.9},
        {"late answer to the first request",
         [](int n, const std::string& req) {
             return n == 1 ? Answers{"stray", test::binding_success(req, kMapped, 5)} : Answers{};
         },
         {1}, "External address: 198.51.100.7:5", -1, 0, 1.9},
        {"answers from another address",
         [&](int, const std::string& req) {
             liar.send(test::binding_success(req, kMapped, 5), client_at);
             return Answers{};
         },
         {1, 2, 3, 4}, "Failed to discover external address", 5, 0, 1.9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StunResponder server(c.reply);
        test::UdpSocket client;
        client_at = client.endpoint();
        char ip[16] = "before";
        std::uint16_t port = 1;
        platform::Endpoint answered{0, 0};
        test::begin_capture();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = discover_public_address(StunServer{"127.0.0.1", server.port()},
                                                client.sock, ip, &port, &answered);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::vector<std::string> expected = {"Discovering external address via STUN..."};
        for (int k : c.retries) expected.push_back("STUN attempt " + std::to_string(k) +
                                                   " failed, retrying...");
        expected.push_back(c.last);
        EXPECT_EQ(test::lines_of(test::end_capture()), expected);
        EXPECT_EQ(ok, std::string(c.last).rfind("External", 0) == 0);
        EXPECT_TRUE(ok || (std::string(ip) == "before" && port == 1));
        EXPECT_EQ(answered.port, ok ? server.port() : 0);
        EXPECT_GE(took.count(), c.min_s);
        EXPECT_LE(took.count(), c.max_s);
        EXPECT_TRUE(c.requests < 0 || server.requests() == c.requests) << server.requests();
        const Answers got = server.received();
        for (const std::string& r : got) EXPECT_EQ(r, got.front()) << "one transaction id";
    }
}

TEST(Discovery, UnresolvableServerSendsNothing) {
    test::UdpSocket client;
    char ip[16] = "before";
    std::uint16_t port = 1;
    platform::Endpoint answered{0, 0};
    test::begin_capture();
    EXPECT_FALSE(discover_public_address(StunServer{"no-such-host.invalid", 19302}, client.sock,
                                         ip, &port, &answered));
    EXPECT_EQ(test::end_capture(),
              "Discovering external address via STUN...\nFailed to resolve STUN server\n");
}

}  // namespace
