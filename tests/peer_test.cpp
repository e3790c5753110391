// The peer link: the receiver over real loopback sockets, hole punching and the sweep in
// simulated time.

#include <algorithm>
#include <sstream>

#include "secure/envelope.h"
#include "path/sweep.h"
#include "relay/relay.h"
#include "relay/turn.h"
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
        int sender;
        Lines sent;
        std::uint64_t counted;
        int acks;  // acknowledgements go to the punch's sender
        std::string shown;
    } cases[] = {
        {peer, Lines(10, "PUNCH"), 10, 10, ""},
        {peer, {"PUNCH_ACK", "KEEPALIVE", "KEEPALIVE extra", ""}, 3, 0, ""},
        {peer, {"PUNC", std::string("zero\0byte", 9), "\x1b[2Jx\r"}, 3, 0,
         hi + "\n[Peer]: PUNC\n> \n[Peer]: zero\n> \n[Peer]: ?[2Jx?\n> "},
        {peer, {longest, longest + "b", "x"}, 3, 0,
         hi + "\n[Peer]: " + longest + "\n> \n[Peer]: " + longest + "\n> \n[Peer]: x\n> "},
        {peer, {"KEEPALIVE BYE", "KEEPALIVE BYE", "hi"}, 3, 0,  // once gone, gone
         "\n[The peer has left the chat]\n> " + hi + "\n[Peer]: hi\n> "},
        {peer, {stun.substr(0, 8)}, 1, 0, hi + "\n[Peer]: ??\n> "},
        {stranger, {"PUNCH", "KEEPALIVE", "hello", stun}, 0, 0, ""},
        {stun_server, {stun, stun.substr(0, 8)}, 0, 0, ""},
    };
    for (const auto& c : cases) {
        Rig rig;
        // Every test socket sends from 127.0.0.1: a peer elsewhere makes the sender a stranger.
        if (c.sender == stranger) identity_begin(&rig.s, test::typed({test::kLoopback + 1, rig.peer.port}));
        rig.s.found.stun_server = c.sender == stun_server ? rig.peer.endpoint() : rig.elsewhere.endpoint();
        // A secure session waits for offers: a peer that makes none is heard as a plain one.
        ASSERT_TRUE(envelope_startup() && secure_link_open(&rig.s));
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
    Rig rig;
    test::UdpSocket outsider;
    ASSERT_TRUE(envelope_startup() && secure_link_open(&rig.s));
    relay_open(&rig.s, rig.elsewhere.endpoint(), "u", "p");
    const auto indication = [](std::uint32_t ip, std::uint16_t port, const std::string& data) {
        std::uint8_t out[100];
        const std::size_t n = turn_build_send({ip, port}, reinterpret_cast<const std::uint8_t*>(data.data()),
                                              data.size(), out, sizeof out);
        out[1] = 0x17;  // a Data indication, laid out as a Send indication
        return std::string(reinterpret_cast<char*>(out), n);
    };
    const std::string shown = rig.chat([&] {
        // Before we asked for a permission the relay forwards nothing: this one is forged.
        rig.elsewhere.send(indication(test::kLoopback, rig.peer.port, "too early"), rig.own.endpoint());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        relay_choose(&rig.s);
        std::string request;
        platform::Endpoint from{};
        for (int i = 0; i < 2 && rig.elsewhere.receive(&request, &from, 1000); ++i) {
            // Success, with nothing to check before the relay has challenged us.
            rig.elsewhere.send(std::string("\1") + request[1] + std::string(2, '\0') + request.substr(4, 16),
                               rig.own.endpoint());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (const std::string& d : {std::string("\x40\0\0\5PUNCH", 9), std::string("\x40\0\0\2hi", 6),
                                     std::string("\x40\1\0\2no", 6), std::string("\x40\0\0\x09no", 6),
                                     std::string("\x40\0\0\0", 4), indication(test::kLoopback, rig.peer.port, "via data"),
                                     indication(test::kLoopback + 1, rig.peer.port, "stranger"), request,
                                     std::string("\1\x08\0\0\x21\x12\xA4\x42", 8) + request.substr(8, 12)}) {
            rig.elsewhere.send(d, rig.own.endpoint());
        }
        outsider.send(std::string("\x40\0\0\2hi", 6), rig.own.endpoint());
        EXPECT_TRUE(eventually([&] { return rig.s.run.packets_received + rig.s.run.strangers_dropped >= 4; }));
        EXPECT_EQ(rig.elsewhere.drain(100), Lines{std::string("\x40\0\0\x1b", 4) + test::proven(rig.s, "PUNCH_ACK", rig.peer.endpoint())});
    });
    EXPECT_EQ(shown, "\n[Connection established!]\n> \n[Peer]: hi\n> \n[Peer]: via data\n> ");
    EXPECT_EQ(rig.s.run.packets_received.load(), 3u);
    EXPECT_EQ(rig.s.run.strangers_dropped.load(), 1u);
    relay_release(&rig.s);
}

// Given the peer's line, every endpoint in it is the peer's (a LAN one only when the peer shares
// our public address, and once it has proven the peer's line: a host on our own LAN may hold the
// same private numbers); the path moves up (the LAN, then IPv6, then IPv4) on an endpoint's answer
// to our punch until the connection stands, and down only once where we send has gone quiet.
TEST(Receiver, ThePathMovesUpToTheBestEndpointThatAnswers) {
    Rig rig;
    platform::Endpoint six{0, rig.peer.port, true};
    six.ip6[15] = 1;  // [::1], where the peer's socket answers too
    const platform::Endpoint lan = rig.elsewhere.endpoint(), typed = rig.peer.endpoint();
    PeerLine line{{six, typed, lan}, 3, true, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
    rig.s.found.mapped = {0x7F000002, 1};
    identity_begin(&rig.s, line);
    EXPECT_EQ(rig.s.peer.remote.count, 2u) << "another NAT's LAN endpoint names a host on ours";
    rig.s.found.mapped.ip = 0x7F000001;
    identity_begin(&rig.s, line);
    // Proven to our LAN endpoint: the same proof sent to another of ours proves nothing.
    rig.s.found.lan = {0x7F000001, rig.own.port};
    std::uint8_t proven_ack[9 + kProofSize] = {'P', 'U', 'N', 'C', 'H', '_', 'A', 'C', 'K'};
    const std::string elsewhere(reinterpret_cast<char*>(proven_ack), proof_append(line.tag, proven_ack, 9, typed));
    const std::string ack(reinterpret_cast<char*>(proven_ack), proof_append(line.tag, proven_ack, 9, rig.own.endpoint()));
    const platform::Endpoint own6 = [&] { platform::Endpoint e = six; e.port = rig.own.port; return e; }();
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

// The sweep, in simulated time: rounds 100 ms apart of at most 10 punches, or longer ones.
TEST(Sweep, RateTotalAndOnlyTheTypedAddress) {
    const std::uint32_t typed = 0xC6336409;
    for (const std::uint32_t start : {1000000u, 0xFFFFFFFFu - 5000}) {
        for (const std::uint32_t step : {100u, 333u}) {
            for (const std::uint32_t random : {0u, 0xFFFFFFFFu, 0x9E3779B9u}) {
                Sweep sweep;
                sweep_begin(&sweep, typed, start, random);
                std::vector<std::uint16_t> ports;
                for (std::uint32_t e = 0; e <= 120000; e += step) {
                    platform::Endpoint out[40];
                    const std::size_t n = sweep_due(&sweep, start + e, out, (step + 99) / 100 * 10);
                    for (std::size_t i = 0; i < n; ++i) {
                        EXPECT_EQ(out[i].ip, typed);
                        EXPECT_GE(out[i].port, 1024);
                        ports.push_back(out[i].port);
                    }
                    // Never more than 100 a second since the sweep began, 3 s in.
                    const std::uint32_t allowed = e < 3000 ? 0 : (e - 3000) / 10;
                    EXPECT_LE(ports.size(), allowed) << e;
                    EXPECT_GE(ports.size() + 20, std::min(allowed, 4000u)) << e;
                }
                EXPECT_EQ(ports.size(), 4000u);
                // The walk goes on past the total to every port from 1024 up, each once.
                for (std::uint32_t n = 4000; n < 64512; ++n) ports.push_back(sweep_port(&sweep, n));
                std::sort(ports.begin(), ports.end());
                EXPECT_TRUE(ports.front() == 1024 && std::unique(ports.begin(), ports.end()) == ports.end());
            }
        }
    }
}

// Another port of the peer's address is learned only by rule: given a tagged line, on a datagram
// that proves it; else on two punches in a row from a port our sweep punched (through the relay,
// from any port). A port learned without proof and dropped for offering no secure session is never
// learned again, and learning goes on.
TEST(Identity, APortNobodyGaveIsLearnedOnlyByRule) {
    const auto punch = DatagramKind::punch, keepalive = DatagramKind::keepalive;
    const struct {
        const char* name;
        bool tagged, proven, swept, relayed;
        DatagramKind kind;
        std::uint16_t port;
        int times;
        bool learned;
    } rows[] = {
        {"two punches from a swept port", false, false, true, false, punch, 5000, 2, true},
        {"one is not enough", false, false, true, false, punch, 5000, 1, false},
        {"a port nobody swept", false, false, false, false, punch, 5000, 2, false},
        {"through the relay, any port", false, false, false, true, punch, 5000, 2, true},
        {"through the relay, port 0 once", false, false, false, true, punch, 0, 1, false},
        {"keepalives teach nothing", false, false, true, false, keepalive, 5000, 2, false},
        {"tagged: unproven punches from a swept port", true, false, true, false, punch, 5000, 2, false},
        {"tagged: a proven punch, at once, swept or not", true, true, false, false, punch, 5000, 1, true},
        {"tagged: a proven commitment", true, true, false, false, keepalive, 5000, 1, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        PeerSession s;
        ASSERT_TRUE(session_init(&s));
        const platform::Endpoint typed{test::kLoopback, 4000}, other{test::kLoopback, r.port};
        identity_begin(&s, PeerLine{{typed}, 1, r.tagged, {}});
        if (r.swept) identity_punched(&s, other.port);
        const platform::Endpoint next{test::kLoopback, 6000};
        bool learned = false, binds = false, dropped = false, again = false, relearned = false;
        test::output_of([&](std::FILE*) {
            for (int i = 0; i < r.times; ++i) learned = identity_learn(&s, r.kind, other, r.relayed, r.proven);
            binds = identity_may_bind(&s, other, false);
            dropped = learned && identity_drop_learned(&s) && platform::same_endpoint(peer_endpoint(&s), typed);
            again = identity_drop_learned(&s);
            identity_punched(&s, next.port);
            for (const platform::Endpoint& e : {other, other, next, next}) relearned = identity_learn(&s, r.kind, e, r.relayed, r.proven) || relearned;
        });
        EXPECT_EQ(learned, r.learned);
        EXPECT_EQ(binds, !r.tagged || r.learned) << "an unproven commitment, given a tag, only from where the path is";
        EXPECT_EQ(dropped, r.learned && !r.tagged) << "a port that proved the line stays";
        EXPECT_FALSE(again) << "the typed endpoint is never dropped";
        EXPECT_TRUE(!dropped || (relearned && platform::same_endpoint(peer_endpoint(&s), next))) << "learning goes on, not on the port dropped";
        session_destroy(&s);
    }
}

constexpr std::uint32_t kWrapSoon = 0xFFFFFFFFu - 1500;  // the tick wraps 1.5 s into the run

struct PunchRun {
    bool result;
    Lines lines, progress;
    int bursts;   // passes after the one that saw the first datagram
    int punches;  // PUNCH datagrams the peer got
    std::size_t senders;  // the ports they came from
    platform::Endpoint path;  // where the peer was at the end
};

// connect_to_peer in simulated time: while the pass that began `elapsed` ms into the run sleeps,
// `arrivals(elapsed)` datagrams come from the peer.
PunchRun punch(std::uint32_t start, const std::function<int(std::uint32_t)>& arrivals,
               std::uint32_t step_ms = 0, bool stop_at_once = false,
               NatKind nat = NatKind::unknown, const std::function<void(Rig&)>& setup = {}) {
    Rig rig;
    rig.s.found.nat = nat;
    test::SimulatedClock clock(start, step_ms);
    int bursts = 0, punches = 0;
    std::vector<std::uint16_t> ports;
    // Read as the run goes, so that the peer's socket never overflows.
    const auto take_punches = [&] {
        std::string d;
        for (platform::Endpoint from{}; rig.peer.receive(&d, &from, 0); ports.push_back(from.port)) {
            punches += d == test::proven(rig.s, "PUNCH", rig.peer.endpoint());
        }
    };
    clock.on_sleep = [&](std::uint32_t now) {
        if (setup && now == start) setup(rig);  // once the punching has begun
        if (stop_at_once) rig.s.run.running = false;
        bursts += rig.s.run.packets_received > 0;
        take_punches();
        rig.s.run.packets_received += arrivals(now - start);
    };
    bool ok = false;
    std::istringstream out(test::output_of([&](std::FILE*) {
        ok = connect_to_peer(&rig.s, rig.s.peer.remote);
        rig.stop();
    }));
    take_punches();
    std::sort(ports.begin(), ports.end());
    PunchRun run{ok, {}, {}, bursts, punches,
                 static_cast<std::size_t>(std::unique(ports.begin(), ports.end()) - ports.begin()),
                 peer_endpoint(&rig.s)};
    for (std::string l; std::getline(out, l);) {
        run.lines.push_back(l);
        if (l.starts_with("Still") || l.starts_with("Connection in")) run.progress.push_back(l);
    }
    return run;
}

TEST(Punching, ArrivalScriptsAcrossStartTicks) {
    const auto none = [](std::uint32_t) { return 0; };
    const auto always = [](std::uint32_t) { return 1; };
    const std::string still = "Still punching... (", got = "Connection in progress... (";
    const struct {
        std::uint32_t start, step;
        std::function<int(std::uint32_t)> arrivals;
        int bursts;  // after the first datagram, up to the confirmation; -1: none comes
        std::size_t progress_lines;  // 0: not checked
        std::vector<std::pair<std::size_t, std::string>> progress;
    } cases[] = {
        // 601 bursts by 60 s; the 602nd pass, 60.1 s in, is the first past the limit.
        {1000000, 0, none, -1, 21, {{0, still + "0 sec, 1 attempts)"}, {1, still + "3 sec, 31 attempts)"},
                                    {20, still + "60 sec, 601 attempts)"}}},
        {kWrapSoon, 0, none, -1, 21, {{20, still + "60 sec, 601 attempts)"}}},
        // A pass exactly 60000 ms in is not past the limit; one 60001 ms in is.
        {1000000, 3000, none, -1, 22, {{21, still + "63 sec, 22 attempts)"}}},
        {1000000, 2069, none, -1, 15, {{14, still + "57 sec, 29 attempts)"}}},
        {1000000, 0, always, 20, 1, {}},
        {kWrapSoon, 0, always, 20, 1, {}},
        {0xFFFFFFFFu - 99, 0, always, 20, 1, {}},  // the first datagram is seen at tick 0
        {1000000, 0, [](std::uint32_t e) { return e == 0 ? 3 : 0; }, -1, 0, {}},
        {1000000, 0, [](std::uint32_t e) { return e == 0 ? 5 : 0; }, 20, 0, {}},
        {1000000, 0, [](std::uint32_t e) { return e % 2000 == 0 && e <= 8000 ? 1 : 0; }, 80, 3,
         {{0, got + "0 sec, 1 packets received)"}, {1, got + "3 sec, 2 packets received)"},
          {2, got + "6 sec, 4 packets received)"}}},
        // Passes 1333 ms apart: progress lines at 0, 3999, 7998, 11997 and 15996 ms.
        {1000000, 1333, [](std::uint32_t e) { return e == 2666 || e == 9331 ? 1 : 0; }, -1, 0,
         {{0, still + "0 sec, 1 attempts)"}, {1, got + "3 sec, 1 packets received)"},
          {2, still + "7 sec, 7 attempts)"}, {3, got + "11 sec, 2 packets received)"},
          {4, still + "15 sec, 13 attempts)"}}},
    };
    const Lines success = {"", "Connection successfully established!",
                           "Type messages and press Enter to send.", "Type 'quit' to exit.", ""};
    for (const auto& c : cases) {
        PunchRun run = punch(c.start, c.arrivals, c.step);
        EXPECT_EQ(run.result, c.bursts >= 0);
        EXPECT_TRUE(c.bursts < 0 || run.bursts == c.bursts) << run.bursts;
        EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(),
                             "First packet received! Confirming connection stability..."),
                  c.arrivals(0) + c.arrivals(2666) > 0);
        EXPECT_EQ(Lines(run.lines.end() - 5, run.lines.end()) == success, run.result);
        const std::string why = c.arrivals(0) + c.arrivals(2666) > 0 ? "Some datagrams came"
                                                                     : "Nothing came from the peer: ";
        EXPECT_EQ(run.lines[run.lines.size() - 3] == "Connection timeout after 60 seconds" &&
                      run.lines[run.lines.size() - 2].rfind(why, 0) == 0, !run.result);
        EXPECT_TRUE(c.progress_lines == 0 || run.progress.size() == c.progress_lines);
        for (const auto& [at, line] : c.progress) {
            EXPECT_EQ(at < run.progress.size() ? run.progress[at] : "", line);
        }
    }
    PunchRun stopped = punch(1000000, none, 0, true);
    EXPECT_FALSE(stopped.result);
    EXPECT_EQ(stopped.lines.back(), still + "0 sec, 1 attempts)");
    EXPECT_EQ(stopped.punches, 10);
    // Behind a symmetric NAT 256 spare sockets punch too, every 5 s, each from a port of its own.
    PunchRun spares = punch(1000000, none, 0, false, NatKind::symmetric);
    EXPECT_EQ(spares.punches, 602 * 10 + 13 * 256);
    EXPECT_EQ(spares.senders, 257u);
    EXPECT_EQ(spares.lines.end()[-2].rfind("Nothing came from the peer. Our NAT is symmetric", 0), 0u);
}

// A port learned without proof carries only the secure session: the connection stands there once
// its sender has offered one; one that offers none has 5 s from when the path moved there, however
// much or little it sent, and is then dropped for good while punching goes on.
TEST(Punching, ALearnedPortWaitsForAnOffer) {
    ASSERT_TRUE(envelope_startup());
    const struct {
        const char* name;
        bool offers;
        std::function<int(std::uint32_t)> arrivals;
        int bursts;  // -1: no connection
    } rows[] = {
        {"it offers", true, [](std::uint32_t) { return 1; }, 20},
        {"it offers nothing", false, [](std::uint32_t) { return 1; }, 70},
        {"two datagrams, then silence", false, [](std::uint32_t e) { return e < 200 ? 1 : 0; }, -1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        platform::Endpoint learned{};
        const PunchRun run = punch(1000000, r.arrivals, 0, false, NatKind::unknown, [&](Rig& rig) {
            learned = rig.elsewhere.endpoint();
            set_peer_endpoint(&rig.s, learned);
            ASSERT_TRUE(secure_link_open(&rig.s));
            rig.s.secure->peer_offered = r.offers;
        });
        const std::string dropped = "The port that answered offers no secure session: it is not the peer's. Punching on...";
        EXPECT_EQ(run.result, r.bursts >= 0);
        EXPECT_TRUE(r.bursts < 0 || run.bursts == r.bursts) << run.bursts;
        EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(), dropped), r.offers ? 0 : 1);
        EXPECT_EQ(platform::same_endpoint(run.path, learned), r.offers);
    }
}

}  // namespace
