// Public address discovery against a scripted STUN responder on loopback.

#include "stun/discovery.h"
#include "support.h"

namespace {

using test::Lines;

constexpr std::uint32_t kMapped = 0xC6336407;  // 198.51.100.7

TEST(Discovery, NatVerdictFromMappings) {
    const platform::Endpoint local{0x0A000005, 4000}, out{kMapped, 4000};
    const struct { const char* name; std::vector<platform::Endpoint> mapped; NatKind nat; } rows[] = {
        {.name = "no answer", .mapped = {}, .nat = NatKind::unknown}, {.name = "our own address", .mapped = {local}, .nat = NatKind::none},
        {.name = "our own, then a mapping", .mapped = {local, out}, .nat = NatKind::symmetric}, {.name = "a mapping, then our own", .mapped = {out, local}, .nat = NatKind::symmetric},
        {.name = "one mapping", .mapped = {out}, .nat = NatKind::unknown}, {.name = "our address at another port", .mapped = {{0x0A000005, 4001}}, .nat = NatKind::unknown},
        {.name = "two alike", .mapped = {out, out}, .nat = NatKind::cone}, {.name = "two ports", .mapped = {out, {kMapped, 4001}}, .nat = NatKind::symmetric},
        {.name = "two alike, then another address", .mapped = {out, out, {kMapped + 1, 4000}}, .nat = NatKind::symmetric},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(nat_verdict(local, row.mapped.data(), row.mapped.size()), row.nat);
    }
}

TEST(Discovery, ScriptedServers) {
    using Reply = test::Responder::Reply;
    test::UdpSocket liar;
    platform::Endpoint client_at{};
    const auto answer = [&](int port) -> Reply {  // 0: the client's own address, as a server sees a computer without NAT
        return [port, &client_at](int, const std::string& r) { return Lines{test::binding_success(r, port ? kMapped : test::kLoopback, port ? port : client_at.port)}; };
    };
    const Reply silent = [](int, const std::string&) { return Lines{}; };
    const char* failed = "Failed to discover external address";
    const std::string unknown = "NAT: unknown (only one STUN server was asked)\n";
    const struct {
        const char* name;
        std::vector<Reply> servers;  // the first is the primary
        int retries = 0;  // failed attempts reported, in order from 1
        std::string last;
        std::size_t requests = 1;  // to the primary
        double min_s = 0, max_s = 1;
    } rows[] = {
        {.name = "one server that answers", .servers = {answer(40000)}, .last = "External address: 198.51.100.7:40000\n" + unknown},
        {.name = "the third request answered",
         .servers = {[](int n, const std::string& req) { return n < 3 ? Lines{} : Lines{test::binding_success(req, kMapped, 65535)}; }},
         .retries = 2, .last = "External address: 198.51.100.7:65535\n" + unknown, .requests = 3, .min_s = 3.9, .max_s = 5},
        {.name = "nothing but a stray datagram, and right answers from an address that was not asked",
         .servers = {[&](int, const std::string& req) {
             liar.send(test::binding_success(req, kMapped, 5), client_at);
             return Lines{"stray"};
         }}, .retries = 4, .last = failed, .requests = 5, .min_s = 9.9, .max_s = 12},
        {.name = "a late answer to the first request comes during the first wait",
         .servers = {[](int n, const std::string& req) { return n == 1 ? Lines{"stray", test::binding_success(req, kMapped, 5)} : Lines{}; }},
         .last = "External address: 198.51.100.7:5\n" + unknown},
        {.name = "no NAT", .servers = {answer(0), answer(0)},
         .last = "External address: 127.0.0.1:*\nNAT: none (this computer's address is public)\n"},
        {.name = "four addresses at most are asked: the fifth server hears nothing",
         .servers = {answer(7), answer(7), answer(7), answer(7), answer(8)},
         .last = "External address: 198.51.100.7:7\nNAT: cone (the same public port for every destination)\n"},
        {.name = "a silent server between two", .servers = {answer(7), silent, answer(8)},
         .last = "External address: 198.51.100.7:7\nNAT: symmetric (a new public port for every destination)\n", .min_s = 0.4},
        {.name = "a silent primary: the other's answer serves after one attempt and one more request", .servers = {silent, answer(9)},
         .last = "External address: 198.51.100.7:9\nNAT: unknown (only one STUN server answered)\n", .requests = 2, .min_s = 2.4, .max_s = 3},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        test::Rig rig;
        client_at = rig.own.endpoint();  // before the responders' threads start
        std::vector<std::unique_ptr<test::Responder>> responders;
        std::vector<StunServer> servers;
        for (const Reply& reply : c.servers) {
            responders.push_back(std::make_unique<test::Responder>(reply));
            servers.push_back({"127.0.0.1", responders.back()->socket.port});
        }
        rig.s.found.mapped = {1, 1};  // as before the exchange
        bool ok = false;
        test::SimulatedClock clock(0xFFFFFFFFu - 3000);  // the waits' ends wrap around
        const std::uint32_t start = clock.now;
        const std::string out =
            test::output_of([&](std::FILE*) { ok = discover_public_address(&rig.s, servers.data(), servers.size()); });
        const double took = (clock.now - start) / 1000.0;
        // Routing toward a server on loopback shows no LAN.
        std::string expected = "Could not determine local LAN IP\nDiscovering external address via STUN...\n";
        for (int k = 1; k <= c.retries; ++k) expected += "STUN attempt " + std::to_string(k) + " failed, retrying...\n";
        const std::string last = std::regex_replace(c.last, std::regex("\\*"), std::to_string(rig.own.port));
        // A failure names the servers and the way on.
        EXPECT_EQ(out.substr(0, ok ? out.size() : out.find("No answer from 127.0.0.1:")), expected + last + (ok ? "" : "\n"));
        EXPECT_TRUE(ok || out.ends_with(".\nFor a chat on this LAN start natchat with --no-stun; or ask another "
                                        "STUN server with --stun HOST[:PORT].\n")) << out;
        EXPECT_EQ(ok, c.last != failed);
        EXPECT_TRUE(ok || platform::same_endpoint(rig.s.found.mapped, {1, 1}));
        const StunServer& answered = servers[c.servers.size() == 2 && c.min_s > 1.5 ? 1 : 0];
        EXPECT_EQ(rig.s.found.stun_server.port, ok ? answered.port : 0);
        EXPECT_TRUE(took >= c.min_s && took <= c.max_s) << took;
        const Lines got = responders.front()->received();
        EXPECT_EQ(got.size(), c.requests);
        EXPECT_TRUE(responders.size() < 5 || responders[4]->received().empty());
        for (const auto& r : responders) for (const std::string& q : r->received()) EXPECT_EQ(q, got.front()) << "one transaction id";
    }
}

}  // namespace
