// Public address discovery against a scripted STUN responder on loopback.

#include <memory>
#include <regex>

#include "secure/envelope.h"
#include "relay/relay.h"
#include "relay/turn.h"
#include "stun/discovery.h"
#include "support.h"

namespace {

using test::Lines;

constexpr std::uint32_t kMapped = 0xC6336407;  // 198.51.100.7

TEST(Discovery, NatVerdictFromMappings) {
    const platform::Endpoint local{0x0A000005, 4000}, out{kMapped, 4000};
    const struct {
        std::vector<platform::Endpoint> mapped;
        NatKind nat;
    } cases[] = {
        {{}, NatKind::unknown},
        {{local}, NatKind::none},
        {{local, out}, NatKind::symmetric},
        {{out, local}, NatKind::symmetric},
        {{out}, NatKind::unknown},
        {{{0x0A000005, 4001}}, NatKind::unknown},
        {{out, out}, NatKind::cone},
        {{out, {kMapped, 4001}}, NatKind::symmetric},
        {{out, out, {kMapped + 1, 4000}}, NatKind::symmetric},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nat_verdict(local, c.mapped.data(), c.mapped.size()), c.nat) << c.mapped.size();
    }
}

TEST(Discovery, ScriptedServers) {
    using Reply = test::StunResponder::Reply;
    test::UdpSocket liar;
    platform::Endpoint client_at{};
    const auto answer = [&](int port) -> Reply {
        return [port, &client_at](int, const std::string& req) {
            // 0: the client's own address, as a server sees a computer without NAT
            return Lines{port == 0 ? test::binding_success(req, test::kLoopback, client_at.port)
                                   : test::binding_success(req, kMapped, port)};
        };
    };
    const Reply silent = [](int, const std::string&) { return Lines{}; };
    const char* failed = "Failed to discover external address";
    const std::string unknown = "NAT: unknown (only one STUN server was asked)\n";
    const struct {
        std::vector<Reply> servers;  // the first is the primary
        int retries;  // failed attempts reported, in order from 1
        std::string last;
        std::size_t requests;  // to the primary; 0: not checked
        double min_s, max_s;
    } cases[] = {
        {{answer(40000)}, 0, "External address: 198.51.100.7:40000\n" + unknown, 1, 0, 1},
        {{[](int n, const std::string& req) {
             return n < 3 ? Lines{} : Lines{test::binding_success(req, kMapped, 65535)};
         }}, 2, "External address: 198.51.100.7:65535\n" + unknown, 3, 3.9, 5},
        // Nothing but a stray datagram, and right answers from an address that was not asked.
        {{[&](int, const std::string& req) {
             liar.send(test::binding_success(req, kMapped, 5), client_at);
             return Lines{"stray"};
         }}, 4, failed, 5, 9.9, 12},
        // A late answer to the first request comes during the first wait.
        {{[](int n, const std::string& req) {
             return n == 1 ? Lines{"stray", test::binding_success(req, kMapped, 5)} : Lines{};
         }}, 0, "External address: 198.51.100.7:5\n" + unknown, 1, 0, 1},
        {{answer(0), answer(0)}, 0, "External address: 127.0.0.1:*\nNAT: none (this computer's "
                                    "address is public)\n", 1, 0, 1},
        // Four addresses at most are asked: the fifth server hears nothing.
        {{answer(7), answer(7), answer(7), answer(7), answer(8)}, 0, "External address: "
         "198.51.100.7:7\nNAT: cone (the same public port for every destination)\n", 1, 0, 1},
        {{answer(7), silent, answer(8)}, 0, "External address: 198.51.100.7:7\nNAT: symmetric (a "
                                    "new public port for every destination)\n", 1, 0.4, 1},
        // A silent primary: the other's answer serves after one attempt and one more request.
        {{silent, answer(9)}, 0, "External address: 198.51.100.7:9\nNAT: unknown (only one STUN "
                                 "server answered)\n", 2, 2.4, 3},
    };
    for (const auto& c : cases) {
        test::Rig rig;
        client_at = rig.own.endpoint();  // before the responders' threads start
        std::vector<std::unique_ptr<test::StunResponder>> responders;
        std::vector<StunServer> servers;
        for (const Reply& reply : c.servers) {
            responders.push_back(std::make_unique<test::StunResponder>(reply));
            servers.push_back({"127.0.0.1", responders.back()->socket.port});
        }
        rig.s.found.mapped = {1, 1};  // as before the exchange
        bool ok = false;
        const auto start = std::chrono::steady_clock::now();
        std::string out = test::output_of([&](std::FILE*) {
            ok = discover_public_address(&rig.s, servers.data(), servers.size());
        });
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        // Routing toward a server on loopback shows no LAN.
        std::string expected = "Could not determine local LAN IP\nDiscovering external address via STUN...\n";
        for (int k = 1; k <= c.retries; ++k) {
            expected += "STUN attempt " + std::to_string(k) + " failed, retrying...\n";
        }
        const std::string last = std::regex_replace(c.last, std::regex("\\*"), std::to_string(rig.own.port));
        // A failure names the servers and the way on.
        EXPECT_EQ(out.substr(0, ok ? out.size() : out.find("No answer from 127.0.0.1:")), expected + last + (ok ? "" : "\n"));
        EXPECT_TRUE(ok || out.ends_with(".\nFor a chat on this LAN start natchat with --no-stun; or ask another "
                                        "STUN server with --stun HOST[:PORT].\n")) << out;
        EXPECT_EQ(ok, c.last != failed);
        EXPECT_TRUE(ok || platform::same_endpoint(rig.s.found.mapped, {1, 1}));
        const StunServer& answered = servers[c.servers.size() == 2 && c.min_s > 1.5 ? 1 : 0];
        EXPECT_EQ(rig.s.found.stun_server.port, ok ? answered.port : 0);
        EXPECT_TRUE(took.count() >= c.min_s && took.count() <= c.max_s) << took.count();
        const Lines got = responders.front()->received();
        EXPECT_TRUE(c.requests == 0 || got.size() == c.requests) << got.size();
        EXPECT_TRUE(responders.size() < 5 || responders[4]->received().empty());
        for (const auto& r : responders) {
            for (const std::string& q : r->received()) EXPECT_EQ(q, got.front()) << "one transaction id";
        }
    }
}

// The relay's allocation at start-up, against a scripted server: its answers in order, 0 for a
// success (the last one answers the deletion at the end).
TEST(Relay, AllocatesThroughTheChallengeOrSaysWhyNot) {
    ASSERT_TRUE(envelope_startup());
    TurnCredentials key{"user", "pass", "", {}, 0, {}, false};
    ASSERT_TRUE(turn_take_challenge(&key, "lab", reinterpret_cast<const std::uint8_t*>("n1"), 2));
    const auto answer = [&](const std::string& request, int code, const char* nonce = "n1") {
        std::uint8_t out[200];
        const std::uint8_t error[4] = {0, 0, static_cast<std::uint8_t>(code / 100), static_cast<std::uint8_t>(code % 100)};
        StunWriter w{out, sizeof out, 0, false};
        stun_begin(&w, code == 0 ? 0x0103 : 0x0113, reinterpret_cast<const std::uint8_t*>(request.data()) + 8);
        if (code != 0) stun_add(&w, 0x0009, error, 4);
        if (code != 0) stun_add(&w, 0x0014, "lab", 3);
        if (code != 0) stun_add(&w, 0x0015, code == 438 ? nonce : "n1", 2);
        if (code == 0) stun_add_address(&w, 0x0016, {0xC0000201, 32853});
        if (code == 0) stun_add_integrity(&w, key.key, sizeof key.key);
        stun_add_fingerprint(&w);
        return std::string(reinterpret_cast<char*>(out), w.size);
    };
    // A server on its own thread: `answers` in order, one to each request.
    const auto serve = [&](test::UdpSocket& server, std::vector<int> answers) {
        return std::thread([&server, &answer, answers] {
            std::string request;
            platform::Endpoint from{};
            for (int code : answers) {
                if (server.receive(&request, &from, 3000)) server.send(answer(request, code), from);
            }
        });
    };
    const char* refused = "The TURN server refused ";
    const struct {
        const char* password;
        std::vector<int> answers;
        std::string line;
    } cases[] = {{"pass", {401, 0, 0}, "Relayed address: 192.0.2.1:32853\n"},
                 {"pass", {401, 438, 0, 0}, "Relayed address: 192.0.2.1:32853\n"},
                 {"wrong", {401, 401}, refused + std::string("the user name or password: going on without a relay\n")},
                 {"pass", {401, 486}, refused + std::string("the allocation (error 486): going on without a relay\n")}};
    for (const auto& c : cases) {
        test::Rig rig;
        test::UdpSocket server;
        std::thread script = serve(server, c.answers);
        RelayServer at{"127.0.0.1", server.port, "user", {}};
        std::snprintf(at.password, sizeof at.password, "%s", c.password);
        EXPECT_EQ(test::output_of([&](std::FILE*) { relay_allocate(&rig.s, at); }), c.line);
        EXPECT_EQ(rig.s.relayed.port, c.line[0] == 'R' ? 32853 : 0);
        relay_release(&rig.s);
        script.join();
    }
    // During the chat too, a relay that answers every refresh with a new nonce is asked again at
    // once only so often.
    test::Rig rig;
    test::UdpSocket server;
    test::SimulatedClock clock(1000);
    std::thread script = serve(server, {401, 0});
    const RelayServer at{"127.0.0.1", server.port, "user", "pass"};
    test::output_of([&](std::FILE*) { relay_allocate(&rig.s, at); });
    script.join();
    clock.now += 60000;
    relay_tick(&rig.s);
    std::string request;
    platform::Endpoint from{};
    int asked = 0;
    for (const char* nonce : {"n2", "n3", "n4", "n5", "n6"}) {
        if (!server.receive(&request, &from, 300)) break;
        ++asked;
        const std::string stale = answer(request, 438, nonce);
        const std::uint8_t* payload = nullptr;
        std::size_t size = 0;
        relay_receive(&rig.s, reinterpret_cast<const std::uint8_t*>(stale.data()), stale.size(), &payload, &size, &from);
    }
    EXPECT_EQ(asked, 4);
    rig.s.relayed.port = 0;  // nothing to delete
    relay_release(&rig.s);
}

}  // namespace
