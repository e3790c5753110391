#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/endpoint.h"
#include "peer/link.h"
#include "session/peer_session.h"
#include "support.h"

namespace {

using test::eventually;
using test::SimulatedClock;
using test::UdpSocket;

constexpr std::uint32_t kWrapSoon = 0xFFFFFFFFu - 1500;  // the tick wraps 1.5 s into the run

// connect_to_peer in simulated time. `arrivals(elapsed_ms)` says how many datagrams the peer
// sends while the pass that started at that time sleeps; each is counted before time moves on.
struct PunchRun {
    bool result;
    std::vector<std::string> lines;
    bool connected;
};

PunchRun punch(std::uint32_t start, const std::function<int(std::uint32_t)>& arrivals,
               std::uint32_t step_ms = 0) {
    UdpSocket own;
    UdpSocket peer;  // where the punches go; it never answers by itself
    PeerSession s;
    session_init(&s);
    s.sock = own.sock;
    SimulatedClock clock(start, step_ms);
    int expected = 0;
    clock.on_sleep = [&](std::uint32_t now) {
        const int n = arrivals(now - start);
        for (int i = 0; i < n; ++i) peer.send("KEEPALIVE", own.endpoint());
        expected += n;
        EXPECT_TRUE(eventually([&] { return s.packets_received.load() == expected; }));
    };
    test::begin_capture();
    const bool ok = connect_to_peer(&s, "127.0.0.1", peer.port);
    s.running.store(false);
    platform::thread_wait(s.recv_thread, 2000);
    platform::thread_close(&s.recv_thread);
    platform::thread_wait(s.keepalive_thread, 2000);
    platform::thread_close(&s.keepalive_thread);
    PunchRun run{ok, test::lines_of(test::end_capture()), s.connected.load()};
    session_destroy(&s);
    return run;
}

int count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

std::vector<std::string> progress_lines(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines) {
        if (l.rfind("Still punching", 0) == 0 || l.rfind("Connection in progress", 0) == 0) {
            out.push_back(l);
        }
    }
    return out;
}

const std::vector<std::string> kIntro = {"", "Attempting to connect to 127.0.0.1:", ""};

TEST(Punching, NobodyAnswersTimesOutAfterSixtySeconds) {
    for (std::uint32_t start : {1000000u, kWrapSoon}) {
        SCOPED_TRACE(start);
        PunchRun run = punch(start, [](std::uint32_t) { return 0; });
        EXPECT_FALSE(run.result);
        std::vector<std::string> progress = progress_lines(run.lines);
        ASSERT_EQ(progress.size(), 21u);
        EXPECT_EQ(progress.front(), "Still punching... (0 sec, 1 attempts)");
        EXPECT_EQ(progress[1], "Still punching... (3 sec, 31 attempts)");
        // 601 bursts by 60 s; the 602nd pass, 60.1 s in, is the first past the limit.
        EXPECT_EQ(progress.back(), "Still punching... (60 sec, 601 attempts)");
        EXPECT_EQ(run.lines.back(), "Connection timeout after 60 seconds");
        EXPECT_EQ(count(run.lines, "First packet received! Confirming connection stability..."), 0);
    }
}

TEST(Punching, AnsweringPeerConfirmsAfterTwoSeconds) {
    for (std::uint32_t start : {1000000u, kWrapSoon, 0xFFFFFFFFu - 99}) {
        SCOPED_TRACE(start);
        std::uint32_t first_seen_at = 0;
        int passes_after_first = 0;
        PunchRun run = punch(start, [&](std::uint32_t elapsed) {
            if (first_seen_at != 0) ++passes_after_first;
            if (first_seen_at == 0) first_seen_at = elapsed + 100;
            return 1;
        });
        EXPECT_TRUE(run.result);
        EXPECT_TRUE(run.connected);
        EXPECT_EQ(count(run.lines, "First packet received! Confirming connection stability..."), 1);
        // The first datagram is seen 100 ms in; confirmation waits for a pass 2000 ms later.
        EXPECT_EQ(passes_after_first, 20);
        ASSERT_GE(run.lines.size(), 4u);
        const std::vector<std::string> tail(run.lines.end() - 5, run.lines.end());
        EXPECT_EQ(tail, (std::vector<std::string>{"", "Connection successfully established!",
                                                  "Type messages and press Enter to send.",
                                                  "Type 'quit' to exit.", ""}));
    }
}

TEST(Punching, ConfirmationNeedsFiveDatagrams) {
    // Three datagrams then silence: never confirmed.
    PunchRun three = punch(1000000, [](std::uint32_t elapsed) { return elapsed == 0 ? 3 : 0; });
    EXPECT_FALSE(three.result);
    EXPECT_EQ(three.lines.back(), "Connection timeout after 60 seconds");

    // Five at once and nothing after: confirmed once two seconds have passed.
    PunchRun five = punch(1000000, [](std::uint32_t elapsed) { return elapsed == 0 ? 5 : 0; });
    EXPECT_TRUE(five.result);

    // Five spread out: confirmation waits for the fifth, well after two seconds.
    PunchRun late = punch(1000000, [](std::uint32_t elapsed) {
        return elapsed % 2000 == 0 && elapsed <= 8000 ? 1 : 0;
    });
    EXPECT_TRUE(late.result);
    const std::vector<std::string> progress = progress_lines(late.lines);
    EXPECT_EQ(progress.back(), "Connection in progress... (6 sec, 4 packets received)");
}

TEST(Punching, ProgressKindFollowsArrivalsAndSecondsTruncate) {
    // Passes 1333 ms apart, so progress lines fall at 0, 3999, 7998, 11997 and 15996 ms.
    PunchRun run = punch(
        1000000, [](std::uint32_t elapsed) { return elapsed == 2666 || elapsed == 9331 ? 1 : 0; },
        1333);
    std::vector<std::string> progress = progress_lines(run.lines);
    ASSERT_GE(progress.size(), 5u);
    EXPECT_EQ(progress[0], "Still punching... (0 sec, 1 attempts)");
    EXPECT_EQ(progress[1], "Connection in progress... (3 sec, 1 packets received)");
    EXPECT_EQ(progress[2], "Still punching... (7 sec, 7 attempts)");
    EXPECT_EQ(progress[3], "Connection in progress... (11 sec, 2 packets received)");
    EXPECT_EQ(progress[4], "Still punching... (15 sec, 13 attempts)");
    EXPECT_FALSE(run.result);
}

TEST(Punching, StopsSilentlyWhenRunningClears) {
    UdpSocket own;
    PeerSession s;
    session_init(&s);
    s.sock = own.sock;
    SimulatedClock clock(1000000);
    clock.on_sleep = [&](std::uint32_t) { s.running.store(false); };
    test::begin_capture();
    EXPECT_FALSE(connect_to_peer(&s, "127.0.0.1", 9));
    const std::vector<std::string> lines = test::lines_of(test::end_capture());
    EXPECT_EQ(lines.back(), "Still punching... (0 sec, 1 attempts)");
    platform::thread_wait(s.recv_thread, 2000);
    platform::thread_close(&s.recv_thread);
    EXPECT_EQ(s.keepalive_thread.handle, nullptr);
    session_destroy(&s);
}

TEST(Keepalive, FirstAtOnceThenEveryFiveSeconds) {
    UdpSocket own;
    UdpSocket peer;
    PeerSession s;
    session_init(&s);
    s.sock = own.sock;
    s.peer_addr = peer.endpoint();
    SimulatedClock clock(0xFFFFFFFFu - 2000);
    platform::thread_start(&s.keepalive_thread, keepalive_loop, &s);
    std::string got;
    platform::Endpoint from{};
    ASSERT_TRUE(peer.receive(&got, &from, 2000));
    EXPECT_EQ(got, "KEEPALIVE");
    clock.now += 4999;
    EXPECT_FALSE(peer.receive(&got, &from, 100));
    clock.now += 1;  // 5000 ms after the first, across the wrap
    EXPECT_TRUE(peer.receive(&got, &from, 2000));
    s.running.store(false);
    EXPECT_TRUE(platform::thread_wait(s.keepalive_thread, 500));
    platform::thread_close(&s.keepalive_thread);
    session_destroy(&s);
}

// Two sessions on loopback punch towards each other in real time, connect, and chat.
TEST(Punching, TwoRealPeersConnectAndExchangeLines) {
    UdpSocket a_sock;
    UdpSocket b_sock;
    PeerSession a;
    PeerSession b;
    session_init(&a);
    session_init(&b);
    a.sock = a_sock.sock;
    b.sock = b_sock.sock;
    test::begin_capture();
    bool b_ok = false;
    std::thread b_side([&] { b_ok = connect_to_peer(&b, "127.0.0.1", a_sock.port); });
    const bool a_ok = connect_to_peer(&a, "127.0.0.1", b_sock.port);
    b_side.join();
    send_patiently(a.sock, "hello from a", 12, a.peer_addr);
    send_patiently(b.sock, "hello from b", 12, b.peer_addr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (PeerSession* s : {&a, &b}) s->running.store(false);
    for (PeerSession* s : {&a, &b}) {
        for (platform::Thread* t : {&s->recv_thread, &s->keepalive_thread}) {
            EXPECT_TRUE(platform::thread_wait(*t, 500));
            platform::thread_close(t);
        }
    }
    const std::string out = test::end_capture();
    EXPECT_TRUE(a_ok);
    EXPECT_TRUE(b_ok);
    EXPECT_NE(out.find("\n[Peer]: hello from a\n> "), std::string::npos);
    EXPECT_NE(out.find("\n[Peer]: hello from b\n> "), std::string::npos);
    session_destroy(&a);
    session_destroy(&b);
}

}  // namespace
