#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "stun/discovery.h"
#include "support.h"

namespace {

using test::binding_success;
using test::StunResponder;
using test::UdpSocket;

constexpr std::uint32_t kMapped = 0xC6336407;  // 198.51.100.7

struct Outcome {
    bool ok;
    std::string ip;
    std::uint16_t port;
    std::vector<std::string> lines;
    double seconds;
};

Outcome discover(std::uint16_t server_port, const char* host = "127.0.0.1") {
    UdpSocket client;
    char ip[16] = "before";
    std::uint16_t port = 1;
    test::begin_capture();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = discover_public_address_via(StunServer{host, server_port}, client.sock, ip, &port);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {ok, ip, port, test::lines_of(test::end_capture()), took.count()};
}

const std::vector<std::string> kRetries = {"STUN attempt 1 failed, retrying...",
                                           "STUN attempt 2 failed, retrying...",
                                           "STUN attempt 3 failed, retrying...",
                                           "STUN attempt 4 failed, retrying..."};

TEST(Discovery, AnswerToFirstRequest) {
    StunResponder server([](int, const std::string& req) {
        return std::vector<std::string>{binding_success(req, kMapped, 40000)};
    });
    Outcome o = discover(server.port());
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.ip, "198.51.100.7");
    EXPECT_EQ(o.port, 40000);
    EXPECT_EQ(o.lines, (std::vector<std::string>{"Discovering external address via STUN...",
                                                 "External address: 198.51.100.7:40000"}));
    EXPECT_EQ(server.requests(), 1);
}

TEST(Discovery, AnswerToThirdRequestAfterTwoRetries) {
    StunResponder server([](int n, const std::string& req) {
        return n < 3 ? std::vector<std::string>{}
                     : std::vector<std::string>{binding_success(req, kMapped, 65535)};
    });
    Outcome o = discover(server.port());
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.lines, (std::vector<std::string>{"Discovering external address via STUN...",
                                                 kRetries[0], kRetries[1],
                                                 "External address: 198.51.100.7:65535"}));
    EXPECT_EQ(server.requests(), 3);
    std::vector<std::string> requests = server.received();
    for (const std::string& r : requests) EXPECT_EQ(r, requests.front()) << "one transaction id";
}

TEST(Discovery, SilentServerFailsAfterFiveWaits) {
    StunResponder server([](int, const std::string&) { return std::vector<std::string>{}; });
    Outcome o = discover(server.port());
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.ip, "before");
    EXPECT_EQ(o.port, 1);
    std::vector<std::string> expected = {"Discovering external address via STUN..."};
    expected.insert(expected.end(), kRetries.begin(), kRetries.end());
    expected.push_back("Failed to discover external address");
    EXPECT_EQ(o.lines, expected);
    EXPECT_EQ(server.requests(), 5);
    EXPECT_GE(o.seconds, 9.5);
}

TEST(Discovery, StrayDatagramsEndEachAttemptEarly) {
    StunResponder server([](int, const std::string&) {
        return std::vector<std::string>{"not a stun message"};
    });
    Outcome o = discover(server.port());
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.lines.size(), 6u);
    EXPECT_EQ(server.requests(), 5);
    EXPECT_LT(o.seconds, 2.0);
}

TEST(Discovery, LateAnswerToAnEarlierRequestIsAccepted) {
    // The first request is answered twice: by a stray datagram that ends attempt 1, and by the
    // real answer, which is then read during attempt 2.
    StunResponder server([](int n, const std::string& req) {
        return n == 1 ? std::vector<std::string>{"stray", binding_success(req, kMapped, 5)}
                      : std::vector<std::string>{};
    });
    Outcome o = discover(server.port());
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.lines, (std::vector<std::string>{"Discovering external address via STUN...",
                                                 kRetries[0], "External address: 198.51.100.7:5"}));
    // The second request may still be on its way to the server when the answer is taken.
    EXPECT_TRUE(test::eventually([&] { return server.requests() == 2; }));
}

TEST(Discovery, UnresolvableServerSendsNothing) {
    Outcome o = discover(19302, "no-such-host.invalid");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.lines, (std::vector<std::string>{"Discovering external address via STUN...",
                                                 "Failed to resolve STUN server"}));
}

}  // namespace
