// The relay's allocation at start-up and its refreshes, against a scripted TURN server.

#include "relay/relay.h"
#include "support.h"

namespace {

// Against a scripted server: its answers in order, 0 for a success (the last one answers the
// deletion at the end).
TEST(Relay, AllocatesThroughTheChallengeOrSaysWhyNot) {
    ASSERT_TRUE(envelope_startup());
    TurnCredentials key{"user", "pass", "", {}, 0, {}, false};
    ASSERT_TRUE(turn_take_challenge(&key, "lab", reinterpret_cast<const std::uint8_t*>("n1"), 2));
    const auto answer = [&](const std::string& request, int code, const char* nonce = "n1") {
        const auto* id = reinterpret_cast<const std::uint8_t*>(request.data()) + 8;
        const test::Bytes error = {0, 0, std::uint8_t(code / 100), std::uint8_t(code % 100)}, n(nonce, nonce + 2);
        const std::vector<test::Bytes> ok = {test::attr(0x0016, test::kXorAddress), test::attr(0x000D, {0, 0, 0, 10})},
                                       refusal = {test::attr(9, error), test::attr(0x14, {'l', 'a', 'b'}), test::attr(0x15, n)};
        const test::Bytes m = test::server_message(code == 0 ? 0x0103 : 0x0113, id, code == 0 ? ok : refusal, code == 0 ? key.key : nullptr);
        return std::string(m.begin(), m.end());
    };
    // A server on its own thread: `answers` in order, one to each request.
    const auto serve = [&](test::UdpSocket& server, std::vector<int> answers) {
        return std::thread([&server, &answer, answers] {
            std::string request;
            platform::Endpoint from{};
            for (int code : answers) { if (server.receive(&request, &from, 3000)) server.send(answer(request, code), from); }
        });
    };
    const std::string refused = "The TURN server refused ", relayed = "Relayed address: 192.0.2.1:32853\n";
    const struct { const char* name; const char* password = "pass"; std::vector<int> answers; std::string line; } rows[] = {
        {.name = "through the challenge", .answers = {401, 0, 0}, .line = relayed},
        {.name = "a stale nonce, then through", .answers = {401, 438, 0, 0}, .line = relayed},
        {.name = "a wrong password", .password = "wrong", .answers = {401, 401},
         .line = refused + "the user name or password: going on without a relay\n"},
        {.name = "the allocation refused", .answers = {401, 486}, .line = refused + "the allocation (error 486): going on without a relay\n"},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        test::Rig rig;
        test::UdpSocket server;
        std::thread script = serve(server, c.answers);
        RelayServer at{"127.0.0.1", server.port, "user", {}};
        std::snprintf(at.password, sizeof at.password, "%s", c.password);
        bool allocated = false;
        EXPECT_EQ(test::output_of([&](std::FILE*) { allocated = relay_allocate(&rig.s, at); }), c.line);
        EXPECT_TRUE(allocated == (c.line[0] == 'R') && rig.s.relayed.port == (allocated ? 32853 : 0));
        relay_release(&rig.s);
        script.join();
    }
    // During the chat too, at half the lifetime granted (10 s), a relay that answers every refresh
    // with a new nonce is asked again at once only so often; a refresh granted for 4 s comes sooner.
    test::Rig rig;
    test::UdpSocket server;
    test::SimulatedClock clock(1000);
    std::thread script = serve(server, {401, 0});
    const RelayServer at{"127.0.0.1", server.port, "user", "pass"};
    test::output_of([&](std::FILE*) { relay_allocate(&rig.s, at); });
    script.join();
    clock.now += 5000;
    relay_tick(&rig.s);
    std::string request;
    platform::Endpoint from{};
    const std::uint8_t* payload = nullptr;
    std::size_t size = 0;
    const auto take = [&](const std::string& m) { relay_receive(&rig.s, reinterpret_cast<const std::uint8_t*>(m.data()), m.size(), &payload, &size, &from); };
    int asked = 0;
    for (const char* nonce : {"n2", "n3", "n4", "n5", "n6"}) {
        if (!server.receive(&request, &from, 300)) break;
        ++asked;
        take(answer(request, 438, nonce));
    }
    EXPECT_EQ(asked, 4);
    clock.now += 30000;
    relay_tick(&rig.s);
    ASSERT_TRUE(server.receive(&request, &from, 300));
    const auto* id = reinterpret_cast<const std::uint8_t*>(request.data()) + 8;
    const test::Bytes granted = test::server_message(0x0104, id, {test::attr(0x000D, {0, 0, 0, 4})}, key.key);
    take(std::string(granted.begin(), granted.end()));
    clock.now += 2000;
    relay_tick(&rig.s);
    EXPECT_TRUE(server.receive(&request, &from, 300)) << "at half the lifetime granted";
}

}  // namespace
