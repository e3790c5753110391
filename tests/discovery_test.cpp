// Public address discovery against a scripted STUN responder on loopback.

#include <memory>
#include <regex>

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

}  // namespace
