// Hole punching in simulated time: confirmation, progress and time-outs across the tick's wrap.

#include "support.h"

namespace {

using test::Lines;
using test::Rig;

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
PunchRun punch(std::uint32_t start, const std::function<int(std::uint32_t)>& arrivals, std::uint32_t step_ms = 0, bool stop_at_once = false,
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
    PunchRun run{ok, {}, {}, bursts, punches, static_cast<std::size_t>(std::unique(ports.begin(), ports.end()) - ports.begin()),
                 peer_endpoint(&rig.s)};
    for (std::string l; std::getline(out, l);) {
        run.lines.push_back(l);
        if (l.starts_with("Still") || l.starts_with("Connection in")) run.progress.push_back(l);
    }
    return run;
}

// The peer's datagrams as scripted, from either side of the tick's wrap. A port learned without
// proof carries only the secure session: the connection stands there once its sender has offered
// one; one that offers none has 5 s from when the path moved there, however much or little it
// sent, and is then dropped for good while punching goes on.
TEST(Punch, ArrivalScriptsAndLearnedPortsAcrossStartTicks) {
    ASSERT_TRUE(envelope_startup());
    const auto none = [](std::uint32_t) { return 0; };
    const auto always = [](std::uint32_t) { return 1; };
    const std::string still = "Still punching... (", got = "Connection in progress... (", minute = "60 sec, 601 attempts)";
    const struct {
        const char* name;
        std::uint32_t start = 1000000, step = 0;
        std::function<int(std::uint32_t)> arrivals;
        int bursts = -1;  // after the first datagram, up to the confirmation; -1: none comes
        std::size_t progress_lines = 0;  // 0: not checked
        std::vector<std::pair<std::size_t, std::string>> progress = {};
        int offers = -1;  // the sender at a learned port offers a session (1) or none (0); -1: no port learned
    } rows[] = {
        {.name = "silence: 601 bursts by 60 s, the 602nd pass, 60.1 s in, is the first past the limit", .arrivals = none,
         .progress_lines = 21, .progress = {{0, still + "0 sec, 1 attempts)"}, {1, still + "3 sec, 31 attempts)"}, {20, still + minute}}},
        {.name = "silence across the wrap", .start = kWrapSoon, .arrivals = none, .progress_lines = 21, .progress = {{20, still + minute}}},
        {.name = "a pass exactly 60000 ms in is not past the limit; one 60001 ms in is", .step = 3000, .arrivals = none,
         .progress_lines = 22, .progress = {{21, still + "63 sec, 22 attempts)"}}},
        {.name = "passes 2069 ms apart", .step = 2069, .arrivals = none, .progress_lines = 15, .progress = {{14, still + "57 sec, 29 attempts)"}}},
        {.name = "a datagram every pass", .arrivals = always, .bursts = 20, .progress_lines = 1},
        {.name = "a datagram every pass, across the wrap", .start = kWrapSoon, .arrivals = always, .bursts = 20, .progress_lines = 1},
        {.name = "the first datagram seen at tick 0", .start = 0xFFFFFFFFu - 99, .arrivals = always, .bursts = 20, .progress_lines = 1},
        {.name = "three datagrams, then silence", .arrivals = [](std::uint32_t e) { return e == 0 ? 3 : 0; }},
        {.name = "five datagrams, then silence", .arrivals = [](std::uint32_t e) { return e == 0 ? 5 : 0; }, .bursts = 20},
        {.name = "one every 2 s up to 8 s", .arrivals = [](std::uint32_t e) { return e % 2000 == 0 && e <= 8000 ? 1 : 0; }, .bursts = 80,
         .progress_lines = 3,
         .progress = {{0, got + "0 sec, 1 packets received)"}, {1, got + "3 sec, 2 packets received)"}, {2, got + "6 sec, 4 packets received)"}}},
        {.name = "passes 1333 ms apart: progress lines at 0, 3999, 7998, 11997 and 15996 ms", .step = 1333,
         .arrivals = [](std::uint32_t e) { return e == 2666 || e == 9331 ? 1 : 0; },
         .progress = {{0, still + "0 sec, 1 attempts)"}, {1, got + "3 sec, 1 packets received)"}, {2, still + "7 sec, 7 attempts)"},
                      {3, got + "11 sec, 2 packets received)"}, {4, still + "15 sec, 13 attempts)"}}},
        {.name = "a learned port that offers", .arrivals = always, .bursts = 20, .offers = 1},
        {.name = "a learned port that offers nothing", .arrivals = always, .bursts = 70, .offers = 0},
        {.name = "a learned port: two datagrams, then silence", .arrivals = [](std::uint32_t e) { return e < 200 ? 1 : 0; },
         .offers = 0},
    };
    const std::string dropped = "The port that answered offers no secure session: it is not the peer's. Punching on...";
    const Lines success = {"", "Connection successfully established!", "Type messages and press Enter to send.", "Type 'quit' to exit.", ""};
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        platform::Endpoint learned{};
        const PunchRun run = punch(c.start, c.arrivals, c.step, false, NatKind::unknown, [&](Rig& rig) {
            if (c.offers < 0) return;
            learned = rig.elsewhere.endpoint();
            set_peer_endpoint(&rig.s, learned);
            ASSERT_TRUE(secure_link_open(&rig.s));
            rig.s.secure->peer_offered = c.offers == 1;
        });
        EXPECT_EQ(run.result, c.bursts >= 0);
        EXPECT_TRUE(c.bursts < 0 || run.bursts == c.bursts) << run.bursts;
        // Once a learned port is dropped, confirming starts over, and what it sent was not the peer's.
        const bool came = c.arrivals(0) + c.arrivals(2666) > 0;
        EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(), "First packet received! Confirming connection stability..."),
                  came + (c.offers == 0 && run.result));
        EXPECT_EQ(Lines(run.lines.end() - 5, run.lines.end()) == success, run.result);
        const std::string why = came && c.offers < 0 ? "Some datagrams came" : "Nothing came from the peer: ";
        EXPECT_EQ(run.lines[run.lines.size() - 3] == "Connection timeout after 60 seconds" &&
                      run.lines[run.lines.size() - 2].rfind(why, 0) == 0, !run.result);
        EXPECT_TRUE(c.progress_lines == 0 || run.progress.size() == c.progress_lines);
        for (const auto& [at, line] : c.progress) EXPECT_EQ(at < run.progress.size() ? run.progress[at] : "", line);
        EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(), dropped), c.offers == 0);
        EXPECT_EQ(platform::same_endpoint(run.path, learned), c.offers == 1);
    }
    PunchRun stopped = punch(1000000, none, 0, true);
    EXPECT_FALSE(stopped.result);
    EXPECT_EQ(stopped.lines.back(), still + "0 sec, 1 attempts)");
    EXPECT_EQ(stopped.punches, 10);
    // Behind a symmetric NAT the spare sockets punch too, every 5 s (13 times in the minute), each
    // from a port of its own.
    const PunchRun alone = punch(1000000, none), spares = punch(1000000, none, 0, false, NatKind::symmetric),
                   relayed = punch(1000000, none, 0, false, NatKind::unknown, [](Rig& rig) { relay_open(&rig.s, rig.elsewhere.endpoint(), "u", "p"); });
    EXPECT_EQ(spares.punches - alone.punches, 13 * static_cast<int>(kSpareSockets));
    EXPECT_EQ(spares.senders, kSpareSockets + 1);
    EXPECT_EQ(spares.lines.end()[-2].rfind("Nothing came from the peer. Our NAT is symmetric", 0), 0u);
    // The relay is chosen 5 s into silence, and the peer is still punched directly: whole bursts in
    // the 50 passes before it, then one punch in each of the 552 passes from then on.
    EXPECT_EQ(relayed.punches, 50 * 10 + 552);
}

}  // namespace
