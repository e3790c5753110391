// The receiver over real loopback sockets: who is heard, the path's moves, the candidates' turns.

#include "support.h"

namespace {

using test::eventually;
using test::Lines;
using test::Rig;

// A STUN server's answer, which the peer never sends.
const std::string kStunAnswer = test::binding_success(std::string(4, 0) + "\x21\x12\xA4\x42" + std::string(12, 'x'), 1, 2);

TEST(Receiver, OnlyThePeerIsHeard) {
    const std::string longest(2047, 'a'), hi = "\n[Connection established!]\n> ", stun = kStunAnswer;
    enum { peer, stranger, stun_server };
    const struct {
        const char* name;
        int sender = peer;
        Lines sent;
        std::uint64_t counted = 0;
        int acks = 0;  // acknowledgements go to the punch's sender
        std::string shown = "";
    } rows[] = {
        {.name = "punches, each answered", .sent = Lines(10, "PUNCH"), .counted = 10, .acks = 10},
        {.name = "answers, keepalives and an empty datagram, none shown", .sent = {"PUNCH_ACK", "KEEPALIVE", "KEEPALIVE extra", ""}, .counted = 3},
        {.name = "lines, filtered for the console", .sent = {"PUNC", std::string("zero\0byte", 9), "\x1b[2Jx\r"}, .counted = 3,
         .shown = hi + "\n[Peer]: PUNC\n> \n[Peer]: zero\n> \n[Peer]: ?[2Jx?\n> "},
        {.name = "the longest line, and one longer cut", .sent = {longest, longest + "b", "x"}, .counted = 3,
         .shown = hi + "\n[Peer]: " + longest + "\n> \n[Peer]: " + longest + "\n> \n[Peer]: x\n> "},
        {.name = "once gone, gone", .sent = {"KEEPALIVE BYE", "KEEPALIVE BYE", "hi"}, .counted = 3,
         .shown = "\n[The peer has left the chat]\n> " + hi + "\n[Peer]: hi\n> "},
        {.name = "a STUN header from the peer is a line", .sent = {stun.substr(0, 8)}, .counted = 1, .shown = hi + "\n[Peer]: ??\n> "},
        {.name = "a stranger", .sender = stranger, .sent = {"PUNCH", "KEEPALIVE", "hello", stun}},
        {.name = "the STUN server", .sender = stun_server, .sent = {stun, stun.substr(0, 8)}},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        Rig rig(true);  // a secure session waits for offers: a peer that makes none is heard as a plain one
        // Every test socket sends from 127.0.0.1: a peer elsewhere makes the sender a stranger.
        if (c.sender == stranger) identity_begin(&rig.s, test::typed({test::kLoopback + 1, rig.peer.port}));
        rig.s.found.stun_server = c.sender == stun_server ? rig.peer.endpoint() : rig.elsewhere.endpoint();
        const std::uint64_t all = c.sent.size() - (c.sent.back().empty() ? 1 : 0);
        const std::string shown = rig.chat([&] {
            for (const std::string& d : c.sent) rig.peer.send(d, rig.own.endpoint());
            EXPECT_TRUE(eventually([&] {
                return rig.s.run.packets_received + rig.s.run.strangers_dropped >= all;
            }));
            EXPECT_EQ(rig.peer.drain(100), Lines(c.acks, test::proven(rig.s, "PUNCH_ACK", rig.peer.endpoint())));
        });
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(rig.s.run.packets_received.load(), c.counted);
        EXPECT_EQ(rig.s.run.strangers_dropped.load(), all - c.counted);
        EXPECT_EQ(rig.s.run.connected.load(), c.shown.find(hi) != std::string::npos);
    }
}

// Through the relay, the peer's data is what comes on the channel bound to it or in a Data
// indication from its address; another channel, a frame that lies about its length, another
// address inside or outside the relay's framing, and the relay's own messages are not.
TEST(Receiver, ThroughTheRelayOnlyThePeersData) {
    Rig rig(true);
    test::UdpSocket outsider;
    relay_open(&rig.s, rig.elsewhere.endpoint(), "u", "p");
    const std::string shown = rig.chat([&] {
        relay_choose(&rig.s);
        std::string request;
        platform::Endpoint from{};
        for (int i = 0; i < 2 && rig.elsewhere.receive(&request, &from, 1000); ++i) {
            // Success, with nothing to check before the relay has challenged us.
            rig.elsewhere.send(std::string("\1") + request[1] + std::string(2, '\0') + request.substr(4, 16), rig.own.endpoint());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (const std::string& d : {std::string("\x40\0\0\5PUNCH", 9), std::string("\x40\0\0\2hi", 6),
                                     std::string("\x40\1\0\2no", 6), std::string("\x40\0\0\x09no", 6),
                                     std::string("\x40\0\0\0", 4), test::data_indication({test::kLoopback, rig.peer.port}, "via data"),
                                     test::data_indication({test::kLoopback + 1, rig.peer.port}, "stranger"), request,
                                     std::string("\1\x08\0\0\x21\x12\xA4\x42", 8) + request.substr(8, 12)}) {
            rig.elsewhere.send(d, rig.own.endpoint());
        }
        outsider.send(std::string("\x40\0\0\2hi", 6), rig.own.endpoint());
        EXPECT_TRUE(eventually([&] { return rig.s.run.packets_received + rig.s.run.strangers_dropped >= 4; }));
        EXPECT_EQ(rig.elsewhere.drain(100), Lines{std::string("\x40\0\0\x1b", 4) + test::proven(rig.s, "PUNCH_ACK", rig.peer.endpoint())});
        // Chosen again for another port of the peer's, the relay binds the next channel: a channel
        // keeps its address for life, and ChannelData on the old one would reach the old port.
        set_peer_endpoint(&rig.s, {test::kLoopback, static_cast<std::uint16_t>(rig.peer.port + 1)});
        relay_choose(&rig.s);
        rig.elsewhere.drain(50);
        relay_send(&rig.s, "x", 1, peer_endpoint(&rig.s));
        const Lines sent = rig.elsewhere.drain(50);
        EXPECT_TRUE(!sent.empty() && sent[0].substr(0, 2) == std::string("\0\x16", 2)) << "a Send indication";
    });
    EXPECT_EQ(shown, "\n[Connection established!]\n> \n[Peer]: hi\n> \n[Peer]: via data\n> ");
    EXPECT_EQ(rig.s.run.packets_received.load(), 3u);
    EXPECT_EQ(rig.s.run.strangers_dropped.load(), 1u);
}

// Given the peer's line, every endpoint in it is the peer's (a LAN one only when the peer shares
// our public address, and once it has proven the peer's line: a host on our own LAN may hold the
// same private numbers); the path moves up (the LAN, then IPv6, then IPv4) on an endpoint's answer
// to our punch until the connection stands, and down only once where we send has gone quiet.
TEST(Receiver, ThePathMovesUpToTheBestEndpointThatAnswers) {
    Rig rig;
    const platform::Endpoint six = test::loopback6(rig.peer.port), own6 = test::loopback6(rig.own.port);
    const platform::Endpoint lan = rig.elsewhere.endpoint(), typed = rig.peer.endpoint();
    PeerLine line{{six, typed, lan}, 3, true, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
    rig.s.found.mapped = {0x7F000002, 1};
    identity_begin(&rig.s, PeerLine{{six, typed, {0xC0A80002, lan.port}}, 3, true, {}});
    EXPECT_EQ(rig.s.peer.remote.count, 2u) << "another NAT's LAN endpoint names a host on ours";
    rig.s.found.mapped.ip = 0x7F000001;
    identity_begin(&rig.s, line);
    // Proven to our LAN endpoint: the same proof sent to another of ours proves nothing.
    rig.s.found.lan = {0x7F000001, rig.own.port};
    const std::string elsewhere = test::proven(line.tag, "PUNCH_ACK", typed), ack = test::proven(line.tag, "PUNCH_ACK", rig.own.endpoint());
    test::UdpSocket stranger;
    const auto at = [&](const platform::Endpoint& e, std::uint64_t heard) {
        return eventually([&] { return rig.s.run.packets_received == heard && platform::same_endpoint(peer_endpoint(&rig.s), e); });
    };
    const std::string out = rig.chat([&] {
        rig.peer.send("PUNCH", own6);
        rig.elsewhere.send(elsewhere, rig.own.endpoint());
        stranger.send("PUNCH_ACK", own6);
        EXPECT_TRUE(at(typed, 1)) << "a punch alone, or a LAN endpoint unproven, moves nothing";
        rig.peer.send("PUNCH_ACK", own6);
        EXPECT_TRUE(at(six, 2));
        rig.peer.send("PUNCH_ACK", rig.own.endpoint());
        EXPECT_TRUE(at(six, 3)) << "IPv4 across NATs ranks below IPv6";
        rig.s.run.connected = true;
        rig.elsewhere.send(ack, rig.own.endpoint());
        EXPECT_TRUE(at(six, 4)) << "once connected, only a sealed record moves the path";
        rig.s.run.connected = false;
        rig.elsewhere.send("PUNCH_ACK", rig.own.endpoint());
        EXPECT_TRUE(at(lan, 5)) << "proven once, for good";
        rig.s.run.connected = true;
        rig.s.peer.path_heard = platform::tick_ms() - kPathQuietMs;
        rig.peer.send("PUNCH_ACK", rig.own.endpoint());
        EXPECT_TRUE(at(typed, 6)) << "a quiet path is left for any endpoint that answers";
    });
    EXPECT_EQ(rig.s.run.strangers_dropped, 2u);
    EXPECT_EQ(out, "\n[The chat now goes over IPv4 to 127.0.0.1:" + std::to_string(rig.peer.port) + "]\n> ");
    std::string d;
    platform::Endpoint from{};
    EXPECT_TRUE(rig.peer.receive(&d, &from, 100) && d == test::proven(rig.s, "PUNCH_ACK", six) && platform::same_endpoint(from, own6));
}

// Behind a symmetric NAT: the first socket to hear the peer becomes the session's, and the others
// are no longer heard. Another port of the peer's address is heard only while nothing has come
// from the typed one, and only as two punches in a row from a port our sweep punched; then the
// typed port wins for good.
TEST(Receiver, FirstCandidateToHearThePeerWinsAndThePeerIsFollowed) {
    Rig rig;
    test::UdpSocket spares[2];
    identity_begin(&rig.s, test::typed(rig.elsewhere.endpoint()));
    // The list holds one socket more than it counts, which must go unheard.
    const platform::Socket all[] = {rig.own.sock, spares[0].sock, spares[1].sock, rig.elsewhere.sock};
    std::copy(all, all + 4, rig.s.sockets.candidates);
    rig.s.sockets.candidate_count = 3;
    const auto counted = [&](std::uint64_t peer, std::uint64_t strangers) {
        return eventually([&] { return rig.s.run.packets_received == peer && rig.s.run.strangers_dropped == strangers; });
    };
    const std::string out = rig.chat([&] {
        rig.peer.send("PUNCH", rig.elsewhere.endpoint());
        for (const char* d : {"KEEPALIVE BYE", "PUNCH", "PUNCH"}) rig.peer.send(d, spares[1].endpoint());
        EXPECT_TRUE(counted(0, 3)) << "no punch of ours went there";
        identity_punched(&rig.s, rig.peer.port);
        rig.peer.send("hi", spares[0].endpoint());
        rig.peer.send("PUNCH", spares[0].endpoint());
        rig.peer.send("PUNCH", spares[1].endpoint());
        EXPECT_TRUE(counted(1, 5));
        identity_punched(&rig.s, spares[0].port);  // another port our sweep punched
        for (int i = 0; i < 2; ++i) spares[0].send("PUNCH", spares[1].endpoint());
        EXPECT_TRUE(counted(1, 7)) << "a port learned is learned once";
        rig.elsewhere.send("from the typed port", spares[1].endpoint());
        EXPECT_TRUE(counted(2, 7));
        rig.peer.send("PUNCH", spares[1].endpoint());
        rig.peer.send("PUNCH", spares[1].endpoint());
        EXPECT_TRUE(counted(2, 9)) << "the typed port has spoken";
    });
    const std::string moved = "\nThe peer answers from port ";
    EXPECT_EQ(out, moved + std::to_string(rig.peer.port) + ": sending there from now on\n" + moved +
                       std::to_string(rig.elsewhere.port) + ": sending there from now on\n"
                       "\n[Connection established!]\n> \n[Peer]: from the typed port\n> ");
    EXPECT_TRUE(platform::same_endpoint(peer_endpoint(&rig.s), rig.elsewhere.endpoint()));
    EXPECT_EQ(rig.s.sockets.sock.load(), spares[1].sock);
    std::string d;
    platform::Endpoint from{};
    EXPECT_TRUE(rig.peer.receive(&d, &from, 100) && d == test::proven(rig.s, "PUNCH_ACK", rig.peer.endpoint()) && from.port == spares[1].port);
    EXPECT_FALSE(rig.peer.receive(&d, &from, 50));
    // A sleep on spares[1] alone is not woken by the punch waiting at spares[0].
    const platform::Socket unheard[] = {spares[1].sock, spares[0].sock};
    platform::Waker waker;
    ASSERT_TRUE(platform::waker_open(&waker));
    std::thread stop([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        platform::waker_signal(&waker);
    });
    EXPECT_FALSE(platform::wait_for_datagram(unheard, 1, &waker));
    stop.join();
    platform::waker_close(&waker);
}

// A socket flooded by someone else (here with STUN answers, never the peer's) has its turn and
// no more: the peer's datagram on the next candidate is read after at most one turn of it. A
// receive that fails for good ends the chat: said once, and the input ends.
TEST(Receiver, CandidatesTakeTurnsAndAFailureEndsTheChat) {
    Rig rig, deaf;
    test::UdpSocket spare;
    const platform::Socket candidates[] = {rig.own.sock, spare.sock};
    std::copy(candidates, candidates + 2, rig.s.sockets.candidates);
    rig.s.sockets.candidate_count = 2;
    rig.s.found.stun_server = rig.elsewhere.endpoint();
    for (int i = 0; i < 200; ++i) rig.elsewhere.send(kStunAnswer, rig.own.endpoint());
    rig.peer.send("KEEPALIVE", spare.endpoint());
    deaf.s.sockets.sock = platform::kInvalidSocket;
    char line[8];
    const std::string out = test::output_of([&](std::FILE* in) {
        for (Rig* r : {&rig, &deaf}) r->start();
        EXPECT_TRUE(eventually([&] { return rig.s.sockets.settled.load(); }) && platform::thread_wait(deaf.s.workers.receiver, 2000));
        EXPECT_FALSE(platform::read_line(in, line, sizeof line));
        for (Rig* r : {&rig, &deaf}) r->stop();
    }, "typed\n");
    EXPECT_TRUE(rig.s.sockets.sock == spare.sock && rig.s.run.strangers_dropped <= 8) << rig.s.run.strangers_dropped;
    EXPECT_TRUE(out.starts_with("\nReceive error: ") && deaf.s.run.failed && !rig.s.run.failed) << out;
}

}  // namespace

// A proven punch through our relay from where the path is chooses the relay only while the path
// opens and nothing has come directly: once the chat runs, a proof replayed there moves nothing.
// A direct answer, proven, while the path opens takes the path off the relay again. From another
// port of the peer's, a Data indication before our relay lets the peer's address in is forged;
// after that an unproven punch is a stranger's, and a proven one teaches the port.
TEST(Receiver, AProofThroughTheRelayChoosesItOnlyWhileThePathOpens) {
    enum After { nothing, proven_ack, bare_ack, ack6 };
    const struct {
        const char* name;
        bool tagged = true, connected = false, direct_before = false, other_port = false, admitted = true, proof = true;
        After after = nothing;
        bool chosen;
    } rows[] = {
        {.name = "through the relay alone", .chosen = true},
        {.name = "heard directly first", .direct_before = true, .chosen = false},
        {.name = "connected, a replay", .connected = true, .chosen = false},
        {.name = "answered directly after", .after = proven_ack, .chosen = false},
        {.name = "a bare answer after, anyone's", .after = bare_ack, .chosen = true},
        {.name = "a plain peer's answer, after the fall-back", .tagged = false, .after = bare_ack, .chosen = false},
        {.name = "another port, before the peer is let in", .other_port = true, .admitted = false, .chosen = false},
        {.name = "another port, unproven", .other_port = true, .proof = false, .chosen = false},
        {.name = "another port, proven", .other_port = true, .chosen = true},
        {.name = "another port, then a direct answer over IPv6", .other_port = true, .after = ack6, .chosen = false},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        Rig rig;
        const platform::Endpoint typed = rig.peer.endpoint(), six = test::loopback6(rig.peer.port);
        const PeerLine line{{typed, six}, c.other_port ? 2u : 1u, c.tagged, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
        identity_begin(&rig.s, line);
        rig.s.relayed = {0xC0000201, 50000};
        relay_open(&rig.s, rig.elsewhere.endpoint(), "u", "p");
        const platform::Endpoint from{test::kLoopback, static_cast<std::uint16_t>(typed.port + c.other_port)};
        const std::string punch = test::data_indication(from, test::proven(line.tag, "PUNCH", rig.s.relayed, c.proof ? 64 : 5));
        const std::string answer = c.after == proven_ack ? test::proven(line.tag, "PUNCH_ACK", rig.s.found.mapped) : "PUNCH_ACK";
        rig.s.run.connected.store(c.connected);
        // One at a time, each taken before the next is sent (a forged one is not even counted).
        Lines sent = {punch};
        if (c.direct_before) sent.insert(sent.begin(), "PUNCH");
        if (c.after != nothing) sent.push_back(answer);
        rig.chat([&] {
            if (c.admitted) relay_admit(&rig.s, rig.s.peer.typed);
            if (!c.tagged) relay_choose(&rig.s);  // as after 5 s of silence
            for (std::size_t i = 0; i < sent.size(); ++i) {
                const platform::Endpoint to = c.after == ack6 ? test::loopback6(rig.own.port) : rig.own.endpoint();
                (sent[i] == punch ? rig.elsewhere : rig.peer).send(sent[i], sent[i] == punch ? rig.own.endpoint() : to);
                EXPECT_EQ(eventually([&] { return rig.s.run.packets_received + rig.s.run.strangers_dropped == i + 1; },
                                     c.admitted ? 3000 : 100), c.admitted);
            }
        });
        EXPECT_EQ(relay_chosen(&rig.s), c.chosen);
        EXPECT_TRUE(platform::same_endpoint(peer_endpoint(&rig.s), c.after == ack6 ? six : c.chosen ? from : typed));
        EXPECT_EQ(rig.s.run.strangers_dropped, c.proof ? 0u : 1u);
    }
}

// Where the relay reaches the peer at the path's own endpoint, during the chat: the newest sealed
// record that comes directly takes the path off the relay; one through the relay takes it back
// only once nothing has come directly for a while; each move is said.
TEST(Receiver, SealedRecordsWeighTheRelayAgainstTheDirectWay) {
    Rig rig(true);
    test::SimulatedClock clock(0xFFFFFFFFu - 1000);  // and nothing heard directly for as long as a tick counts
    identity_begin(&rig.s, PeerLine{{rig.peer.endpoint()}, 1, true, {}});
    relay_open(&rig.s, rig.elsewhere.endpoint(), "u", "p");
    Handshake peer;
    Channel keys{};
    ASSERT_TRUE(handshake_start(&peer));
    const std::string out = rig.chat([&] {
        rig.peer.send(test::message(make_commit, peer), rig.own.endpoint());
        test::agree_as_peer(rig.peer, rig.own.endpoint(), &peer, &keys, 3000, [] { return false; });
        rig.s.run.connected = true;
        relay_choose(&rig.s);
        const auto line = [&](char n) { return test::sealed(&keys, std::string(3, '\0') + n + "x"); };
        // Whether the relay is chosen, within `wait_ms`, once `record` has come directly or through the relay.
        const auto sent = [&](const std::string& record, bool direct, bool chosen, std::uint32_t wait_ms = 3000) {
            (direct ? rig.peer : rig.elsewhere).send(direct ? record : test::data_indication(rig.peer.endpoint(), record), rig.own.endpoint());
            return eventually([&] { return relay_chosen(&rig.s) == chosen; }, wait_ms);
        };
        EXPECT_TRUE(sent(line(1), true, false));
        EXPECT_FALSE(sent(line(2), false, true, 200)) << "the direct way was heard just now";
        const std::string held = line(3);
        clock.now += kPathQuietMs;
        rig.peer.send("KEEPALIVE", rig.own.endpoint());  // bare: anyone's who can forge the peer's address
        EXPECT_TRUE(sent(line(4), false, true));
        EXPECT_FALSE(sent(held, true, false, 200)) << "a record held back moves nothing";
    }, true);
    EXPECT_EQ(out.find("[A direct path opened: the chat now goes over IPv4 to 127.0.0.1:" + std::to_string(rig.peer.port) +
                       ", no longer through the relay]"), out.rfind("[A direct path")) << out;
    EXPECT_NE(out.find("\n[Nothing comes directly from the peer: the chat goes through the relay at "), std::string::npos) << out;
}
