// The peer link: the receiver over real loopback sockets, hole punching and keepalives in
// simulated time.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "peer/link.h"
#include "peer/receiver.h"
#include "shared/peer_session.h"
#include "support.h"

namespace {

using test::eventually;
using test::UdpSocket;
using Lines = std::vector<std::string>;

// A session on a real loopback socket whose receiver thread runs while the rig lives.
struct Rig {
    Rig() {
        session_init(&s);
        s.sock = own.sock;
        s.peer_addr = peer.endpoint();
        s.last_heard = platform::tick_ms();
    }
    ~Rig() { session_destroy(&s); }
    // Clears `running`, waits for both workers and returns what they printed.
    std::string stop() {
        stop_running(&s);
        for (platform::Thread* t : {&s.recv_thread, &s.keepalive_thread}) {
            EXPECT_TRUE(platform::thread_wait(*t, 2000));
            platform::thread_close(t);
        }
        return test::end_capture();
    }
    UdpSocket own, peer, elsewhere;
    PeerSession s;
};

TEST(Receiver, DatagramKinds) {
    const std::string longest(2047, 'a');
    const std::string request = std::string("\0\1\0\0\x21\x12\xA4\x42", 8) + std::string(12, 'x');
    const std::string stun_answer = test::binding_success(request, 1, 2);
    const std::string established = "\n[Connection established!]\n> ";
    enum { peer, stranger, stun_server };
    const struct {
        int sender;
        Lines sent;
        int counted;
        int acks;  // PUNCH_ACKs back to the sender
        std::string shown;
    } cases[] = {
        {peer, {"PUNCH"}, 1, 1, ""},
        {peer, Lines(10, "PUNCH"), 10, 10, ""},
        {peer, {"PUNCH_ACK", "KEEPALIVE", "KEEPALIVE extra", ""}, 3, 0, ""},
        {peer, {"PUNC", std::string("zero\0byte", 9), "\x1b[2Jgotcha\r"}, 3, 0,
         established + "\n[Peer]: PUNC\n> \n[Peer]: zero\n> \n[Peer]: ?[2Jgotcha?\n> "},
        {peer, {longest, longest + "bbb", "x"}, 3, 0,
         established + "\n[Peer]: " + longest + "\n> \n[Peer]: " + longest + "\n> \n[Peer]: x\n> "},
        {peer, {"KEEPALIVE BYE", "KEEPALIVE BYE", "hi"}, 3, 0,
         "\n[The peer has left the chat]\n> \n[The peer is back]\n> " + established +
             "\n[Peer]: hi\n> "},
        {peer, {stun_answer.substr(0, 8)}, 1, 0, established + "\n[Peer]: ??\n> "},
        {stranger, {"PUNCH", "KEEPALIVE", "hello", stun_answer}, 0, 0, ""},
        {stun_server, {stun_answer, stun_answer.substr(0, 8)}, 0, 0, ""},
    };
    for (const auto& c : cases) {
        Rig rig;
        // Every test socket sends from 127.0.0.1: a peer elsewhere makes the sender a stranger.
        if (c.sender == stranger) rig.s.peer_addr.ip = test::kLoopback + 1;
        if (c.sender == stun_server) rig.s.stun_server = rig.peer.endpoint();
        rig.s.peer_addr.port = rig.elsewhere.port;  // acknowledgements go to the punch's sender
        test::begin_capture();
        platform::thread_start(&rig.s.recv_thread, receive_loop, &rig.s);
        for (const std::string& d : c.sent) rig.peer.send(d, rig.own.endpoint());
        const auto all = static_cast<int>(c.sent.size()) - (c.sent.back().empty() ? 1 : 0);
        EXPECT_TRUE(eventually([&] {
            return rig.s.packets_received.load() + rig.s.strangers_dropped.load() >= all;
        }));
        EXPECT_EQ(rig.peer.drain(100), Lines(c.acks, "PUNCH_ACK"));
        EXPECT_EQ(rig.s.packets_received.load(), c.counted);
        EXPECT_EQ(rig.s.strangers_dropped.load(), all - c.counted);
        EXPECT_EQ(rig.stop(), c.shown);
        EXPECT_EQ(rig.s.connected.load(), c.shown.find(established) != std::string::npos);
        EXPECT_TRUE(rig.elsewhere.drain(10).empty());
    }
}

constexpr std::uint32_t kWrapSoon = 0xFFFFFFFFu - 1500;  // the tick wraps 1.5 s into the run

struct PunchRun {
    bool result;
    Lines lines, progress;
    int bursts;   // passes after the one that saw the first datagram
    int punches;  // PUNCH datagrams the peer got
};

// connect_to_peer in simulated time: while the pass that began `elapsed` ms into the run sleeps,
// the peer sends `arrivals(elapsed)` datagrams, each counted before time moves on.
PunchRun punch(std::uint32_t start, const std::function<int(std::uint32_t)>& arrivals,
               std::uint32_t step_ms = 0, bool stop_at_once = false) {
    Rig rig;
    test::SimulatedClock clock(start, step_ms);
    int expected = 0, passes_after_first = 0;
    clock.on_sleep = [&](std::uint32_t now) {
        if (stop_at_once) rig.s.running.store(false);
        if (expected > 0) ++passes_after_first;
        const int n = arrivals(now - start);
        for (int i = 0; i < n; ++i) rig.peer.send("KEEPALIVE", rig.own.endpoint());
        expected += n;
        EXPECT_TRUE(eventually([&] { return rig.s.packets_received.load() == expected; }));
    };
    test::begin_capture();
    const bool ok = connect_to_peer(&rig.s, "127.0.0.1", rig.peer.port);
    rig.s.running.store(false);
    const Lines lines = test::lines_of(rig.stop());
    int punches = 0;
    for (const std::string& d : rig.peer.drain(50)) punches += d == "PUNCH";
    Lines progress;
    for (const std::string& l : lines) {
        if (l.rfind("Still", 0) == 0 || l.rfind("Connection in", 0) == 0) progress.push_back(l);
    }
    return {ok, lines, progress, passes_after_first, punches};
}

const char kFirst[] = "First packet received! Confirming connection stability...";
const Lines kSuccess = {"", "Connection successfully established!",
                        "Type messages and press Enter to send.", "Type 'quit' to exit.", ""};

TEST(Punching, NobodyAnswersTimesOutAfterSixtySeconds) {
    for (std::uint32_t start : {1000000u, kWrapSoon}) {
        PunchRun run = punch(start, [](std::uint32_t) { return 0; });
        EXPECT_FALSE(run.result);
        ASSERT_EQ(run.progress.size(), 21u);
        EXPECT_EQ(run.progress[0], "Still punching... (0 sec, 1 attempts)");
        EXPECT_EQ(run.progress[1], "Still punching... (3 sec, 31 attempts)");
        // 601 bursts by 60 s; the 602nd pass, 60.1 s in, is the first past the limit.
        EXPECT_EQ(run.progress[20], "Still punching... (60 sec, 601 attempts)");
        EXPECT_EQ(run.lines.back(), "Connection timeout after 60 seconds");
    }
}

TEST(Punching, ConfirmationScripts) {
    const struct {
        const char* name;
        std::uint32_t start, step;
        std::function<int(std::uint32_t)> arrivals;
        bool result;
        int bursts;  // -1: not checked
        Lines progress_head;
    } cases[] = {
        {"answering peer", 1000000, 0, [](std::uint32_t) { return 1; }, true, 20, {}},
        {"across the wrap", kWrapSoon, 0, [](std::uint32_t) { return 1; }, true, 20, {}},
        {"first datagram at tick 0", 0xFFFFFFFFu - 99, 0, [](std::uint32_t) { return 1; }, true,
         20, {}},
        {"three then silence", 1000000, 0, [](std::uint32_t e) { return e == 0 ? 3 : 0; }, false,
         -1, {}},
        {"five at once", 1000000, 0, [](std::uint32_t e) { return e == 0 ? 5 : 0; }, true, 20, {}},
        {"fifth late", 1000000, 0,
         [](std::uint32_t e) { return e % 2000 == 0 && e <= 8000 ? 1 : 0; }, true, 80,
         {"Connection in progress... (0 sec, 1 packets received)",
          "Connection in progress... (3 sec, 2 packets received)",
          "Connection in progress... (6 sec, 4 packets received)"}},
        // Passes 1333 ms apart: progress lines at 0, 3999, 7998, 11997 and 15996 ms.
        {"kinds follow arrivals", 1000000, 1333,
         [](std::uint32_t e) { return e == 2666 || e == 9331 ? 1 : 0; }, false, -1,
         {"Still punching... (0 sec, 1 attempts)",
          "Connection in progress... (3 sec, 1 packets received)",
          "Still punching... (7 sec, 7 attempts)",
          "Connection in progress... (11 sec, 2 packets received)",
          "Still punching... (15 sec, 13 attempts)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PunchRun run = punch(c.start, c.arrivals, c.step);
        EXPECT_EQ(run.result, c.result);
        EXPECT_TRUE(c.bursts < 0 || run.bursts == c.bursts) << run.bursts;
        EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(), kFirst), 1);
        const Lines tail(run.lines.end() - 5, run.lines.end());
        EXPECT_EQ(tail == kSuccess, c.result);
        EXPECT_EQ(run.lines.back() == "Connection timeout after 60 seconds", !c.result);
        const Lines head(run.progress.begin(),
                         run.progress.begin() + static_cast<long>(c.progress_head.size()));
        EXPECT_EQ(head, c.progress_head);
    }
}

TEST(Punching, StopsSilentlyWhenRunningClears) {
    PunchRun run = punch(1000000, [](std::uint32_t) { return 0; }, 0, true);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.lines.back(), "Still punching... (0 sec, 1 attempts)");
    EXPECT_EQ(run.punches, 10);
}

TEST(Keepalive, EveryFiveSecondsAndSilenceNoticedOnce) {
    Rig rig;
    test::SimulatedClock clock(0xFFFFFFFFu - 2000);
    rig.s.last_heard = clock.now.load();
    test::begin_capture();
    platform::thread_start(&rig.s.recv_thread, receive_loop, &rig.s);
    platform::thread_start(&rig.s.keepalive_thread, keepalive_loop, &rig.s);
    std::string got;
    platform::Endpoint from{};
    ASSERT_TRUE(rig.peer.receive(&got, &from, 2000));
    EXPECT_EQ(got, "KEEPALIVE");
    clock.now += 4999;
    EXPECT_FALSE(rig.peer.receive(&got, &from, 100));
    clock.now += 1;  // 5000 ms after the first, across the wrap
    EXPECT_TRUE(rig.peer.receive(&got, &from, 2000));
    clock.now += 9999;
    EXPECT_FALSE(eventually([&] { return rig.s.presence != Presence::present; }, 100));
    clock.now += 1;  // 15 s without a word from the peer
    EXPECT_TRUE(eventually([&] { return rig.s.presence == Presence::silent; }));
    clock.now += 15000;
    rig.peer.send("KEEPALIVE", rig.own.endpoint());
    EXPECT_TRUE(eventually([&] { return rig.s.presence == Presence::present; }));
    EXPECT_EQ(rig.stop(), "\n[Nothing heard from the peer for 15 seconds]\n> \n[The peer is back]\n> ");
}

}  // namespace
