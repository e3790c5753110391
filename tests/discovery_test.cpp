// Public address discovery against a scripted STUN responder on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "stun/discovery.h"
#include "support.h"

namespace {

using test::Lines;

constexpr std::uint32_t kMapped = 0xC6336407;  // 198.51.100.7

TEST(Discovery, ScriptedServers) {
    test::UdpSocket liar;
    platform::Endpoint client_at{};
    const auto answer = [](int port) {
        return [port](int, const std::string& req) { return Lines{test::binding_success(req, kMapped, port)}; };
    };
    const char* failed = "Failed to discover external address";
    const struct {
        test::StunResponder::Reply reply;
        int retries;  // failed attempts reported, in order from 1
        const char* last;
        std::size_t requests;  // 0: not checked
        double min_s, max_s;
    } cases[] = {
        {answer(40000), 0, "External address: 198.51.100.7:40000", 1, 0, 1},
        {[](int n, const std::string& req) {
             return n < 3 ? Lines{} : Lines{test::binding_success(req, kMapped, 65535)};
         }, 2, "External address: 198.51.100.7:65535", 3, 3.9, 5},
        {[](int, const std::string&) { return Lines{}; }, 4, failed, 5, 9.9, 12},
        {[](int, const std::string&) { return Lines{"stray"}; }, 4, failed, 5, 0, 1.9},
        // A late answer to the first request, read during the second attempt.
        {[](int n, const std::string& req) {
             return n == 1 ? Lines{"stray", test::binding_success(req, kMapped, 5)} : Lines{};
         }, 1, "External address: 198.51.100.7:5", 0, 0, 1.9},
        // Right answers, from an address that was not asked.
        {[&](int, const std::string& req) {
             liar.send(test::binding_success(req, kMapped, 5), client_at);
             return Lines{};
         }, 4, failed, 5, 0, 1.9},
    };
    for (const auto& c : cases) {
        test::UdpSocket client;
        client_at = client.endpoint();  // before the responder's thread starts
        test::StunResponder server(c.reply);
        char ip[16] = "before";
        std::uint16_t port = 1;
        platform::Endpoint answered{0, 0};
        bool ok = false;
        const auto start = std::chrono::steady_clock::now();
        const std::string out = test::output_of([&](std::FILE*) {
            ok = discover_public_address({"127.0.0.1", server.socket.port}, client.sock, ip, &port,
                                         &answered);
        });
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::string expected = "Discovering external address via STUN...\n";
        for (int k = 1; k <= c.retries; ++k) {
            expected += "STUN attempt " + std::to_string(k) + " failed, retrying...\n";
        }
        EXPECT_EQ(out, expected + c.last + "\n");
        EXPECT_EQ(ok, c.last != failed);
        EXPECT_TRUE(ok || (std::string(ip) == "before" && port == 1));
        EXPECT_EQ(answered.port, ok ? server.socket.port : 0);
        EXPECT_TRUE(took.count() >= c.min_s && took.count() <= c.max_s) << took.count();
        const Lines got = server.received();
        EXPECT_TRUE(c.requests == 0 || got.size() == c.requests) << got.size();
        for (const std::string& r : got) EXPECT_EQ(r, got.front()) << "one transaction id";
    }
    char ip[16] = "before";
    std::uint16_t port = 1;
    test::UdpSocket client;
    EXPECT_EQ(test::output_of([&](std::FILE*) {
        discover_public_address({"no-such-host.invalid", 1}, client.sock, ip, &port, &client_at);
    }), "Discovering external address via STUN...\nFailed to resolve STUN server\n");
}

}  // namespace
