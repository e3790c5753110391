// The secure session between two programs on loopback: agreeing, losing no line, deciding for
// plain text in time, keepalives, and who may move it or speak in it.

#include "support.h"

namespace {

// What `look` reads of the secure session, under its lock, as the workers write it.
template <class Look> auto locked(test::Rig& r, Look look) {
    platform::lock_enter(&r.s.secure->lock);
    const auto got = look(*r.s.secure);
    platform::lock_leave(&r.s.secure->lock);
    return got;
}
LinkMode mode_of(test::Rig& r) { return locked(r, [](const SecureLink& l) { return l.mode; }); }

// Two sessions agree and chat through a relay, in simulated time: it drops every fourth of the
// first 160 datagrams, later all of them for a while. The clock moves slowly while lines are on
// their way, so that a slow machine does not reach the time to report a stall.
TEST(SecureLink, TwoPeersAgreeAndLoseNoLine) {
    test::SimulatedClock clock(0xFFFFFFFFu - 5000);
    // Moves the clock `step` ms a real millisecond, for at most 10000 steps, until `done`.
    const auto until = [&](const std::function<bool()>& done, std::uint32_t step = 5) {
        for (int i = 0; i < 10000 && !done(); ++i) {
            clock.now += step;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    };
    test::Rig a(true), b(true);
    test::UdpSocket& relay = a.peer;  // a sends to it; it passes on to b, and back
    identity_begin(&b.s, test::typed(relay.endpoint()));
    enum { lossy, clean, black_hole };
    std::atomic<int> path{lossy};
    std::atomic<bool> done{false};
    std::thread pass([&] {
        std::string d;
        int n = 0;
        for (platform::Endpoint from{}; !done;) {
            if (!relay.receive(&d, &from, 5) || path == black_hole) continue;
            if (path == clean || ++n % 4 != 0 || n > 160) relay.send(d, from.port == a.own.port ? b.own.endpoint() : a.own.endpoint());
        }
    });
    const std::string out = test::output_of([&](std::FILE*) {
        for (test::Rig* r : {&a, &b}) r->start(true);
        for (int i = 0; i < 50; ++i) secure_link_send(&a.s, ("line " + std::to_string(i)).c_str(), 6 + (i > 9));
        secure_link_send(&b.s, "back", 4);
        EXPECT_TRUE(until([&] {
            return locked(b, [](const SecureLink& l) { return l.delivery.delivered == 50 && l.delivery.out.empty(); }) &&
                   locked(a, [](const SecureLink& l) { return l.delivery.delivered == 1 && l.delivery.out.empty(); });
        }));
        EXPECT_GT(secure_link_tick(&a.s), 5000u) << "both have the keys: no more offers";
        a.peer.send("plain text", b.own.endpoint());  // a plain line from the secure peer's address
        path = black_hole;
        secure_link_send(&a.s, "lost line", 9);
        EXPECT_TRUE(until([&] { return locked(a, [](const SecureLink& l) { return l.delivery.stall_told; }); }, 50));
        secure_link_send(&a.s, "lost again", 10);
        secure_link_finish(&a.s, 1000);  // says what may not have arrived; its bye is lost too
        path = clean;
        const std::uint32_t finishing = clock.now;
        secure_link_finish(&b.s, 5000);
        EXPECT_LT(clock.now - finishing, 100u) << "nothing to wait for";
        EXPECT_TRUE(until([&] { return a.s.run.presence == Presence::left; }));
        // Nothing left to offer, send or decide.
        EXPECT_TRUE(until([&] { return secure_link_tick(&b.s) > 5000; }));
        for (test::Rig* r : {&a, &b}) r->stop();
    });
    done = true;
    pass.join();
    std::string expected, shown;
    for (int i = 0; i < 50; ++i) expected += "\n[Peer]: line " + std::to_string(i) + "\n> ";
    const std::regex line("\n\\[Peer\\]: line [0-9]+\n> ");
    for (std::sregex_iterator m(out.begin(), out.end(), line), end; m != end; ++m) shown += m->str();
    EXPECT_EQ(shown, expected);
    for (const char* part : {"\n[Peer]: back\n> ", "someone is in between.\n> ", "[The peer has left the chat]",
                             "\n[The peer has not confirmed 1 line(s) for 30 seconds, from \"lost line\" on: still sending]\n> ",
                             "\n[The peer did not confirm 2 line(s), from \"lost line\" on]\n> "}) {
        EXPECT_NE(out.find(part), std::string::npos) << part << out;
    }
    for (const char* absent : {"plain text", "confirm 0"}) EXPECT_EQ(out.find(absent), std::string::npos) << absent;
    EXPECT_EQ(secure_link_refused(&b.s), 1);
    const std::size_t code = out.find("Security code: ");
    EXPECT_NE(out.find(out.substr(code, 24), code + 1), std::string::npos) << "the same code";
}

// In simulated time, across the tick's wrap: offers 25 ms apart, each wait twice the last up to
// 500 ms (an answer to the peer's first commitment counts as one); plain after 3 s without a sign
// from the peer, after 20 s with signs but no agreement. A peer that says nothing more gets a
// keepalive every 5 s, and its silence is noticed once, 15 s after it was last heard.
TEST(SecureLink, DecidesForPlainInTimeAndKeepsThePathOpen) {
    for (bool signs : {false, true}) {
        test::Rig rig(true);
        test::SimulatedClock clock(0xFFFFFFFFu - 1000);
        rig.s.run.last_heard = clock.now.load();
        Handshake other;
        ASSERT_TRUE(handshake_start(&other));
        const std::string commit = test::message(make_commit, other);
        // What the peer got since the last look, sorted: 'C' a commitment, 'R' a key, 'K' a keepalive.
        const auto got = [&] {
            std::string kinds;
            for (const std::string& d : rig.peer.drain(30)) {
                // Each commitment goes bare and proven: counted once.
                if (d.size() != kHandshakeSize || d[10] != 'C') kinds += d == "KEEPALIVE" ? 'K' : d[10];
            }
            std::sort(kinds.begin(), kinds.end());
            return kinds;
        };
        // The keepalive thread times its sleep from when it lies down: let it, before time moves.
        const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
        const std::string out = rig.chat([&] {
            EXPECT_EQ(got(), "CK");
            for (int i = 0; signs && i < 2; ++i) rig.peer.send(commit, rig.own.endpoint());
            // Once the peer has offered, a plain line claiming to be its is refused.
            if (signs) rig.peer.send("plain line", rig.own.endpoint());
            EXPECT_EQ(got(), signs ? "CR" : "");  // the first commitment is answered at once, once
            std::uint32_t spent = 0;
            for (std::uint32_t wait : {25u, 50u, 100u, 200u, 400u, 500u, 500u}) {
                if (signs && wait == 25) continue;
                settle();
                for (std::uint32_t step : {wait - 1, 1u}) EXPECT_EQ((clock.now += step, got()), step == 1 ? (signs ? "CR" : "C") : "") << wait;
                spent += wait;
            }
            clock.now += (signs ? 20000 : 3000) - spent - 1;
            EXPECT_FALSE(test::eventually([&] { return mode_of(rig) != LinkMode::agreeing; }, 50));
            clock.now += 1;
            EXPECT_TRUE(test::eventually([&] { return mode_of(rig) == (signs ? LinkMode::failed : LinkMode::plain); }));
            // To 5 s, and to 15 s: the keepalive due at 10 s goes out when the clock jumps past.
            const std::pair<std::uint32_t, const char*> steps[] = {{1999, ""}, {1, "K"}, {9999, "K"}, {1, ""}};
            for (const auto& [step, kinds] : steps) {
                if (signs) break;
                got();
                settle();
                clock.now += step;
                EXPECT_EQ(got(), kinds) << step;
                EXPECT_EQ(rig.s.run.presence == Presence::silent, clock.now - rig.s.run.last_heard >= 15000);
            }
            rig.peer.send("KEEPALIVE", rig.own.endpoint());
            EXPECT_TRUE(test::eventually([&] { return rig.s.run.presence == Presence::present; }));
            if (!signs) {  // the peer's offer comes after all: agreeing again, and nothing in plain
                secure_link_send(&rig.s, "sent before the offer", 21);
                EXPECT_EQ(got(), "e");
                rig.peer.send(commit, rig.own.endpoint());
                EXPECT_TRUE(test::eventually([&] { return mode_of(rig) == LinkMode::agreeing; }));
                secure_link_send(&rig.s, "after the offer", 15);
                EXPECT_EQ(got(), "CR");
            }
        }, true);
        const std::string plain = signs ? "\nNo secure session could be agreed with the peer, although its "
                                          "program offers one: someone may be interfering. Nothing more is sent; type 'quit' to leave.\n> "
                                        : "\nThis chat is NOT encrypted: the peer's program does not offer a secure session.\n> ";
        EXPECT_TRUE(signs || out == plain + "\n[Nothing heard from the peer for 15 seconds]\n> "
                                            "\n[The peer is back]\n> \nThe peer's program offers a secure "
                                            "session after all: the lines before this went unencrypted.\n> \n[1 line(s) sent "
                                            "unencrypted, from \"sent before the offer\" on: the peer may not have shown them]\n> ") << out;
        EXPECT_TRUE(out.find(plain) != std::string::npos && out.find(plain) == out.rfind(plain.substr(0, 9)));
        EXPECT_EQ(out.find("plain line"), std::string::npos);
        EXPECT_EQ(secure_link_refused(&rig.s), signs ? 1 : 0);
    }
}

// Someone who shares the peer's address (another port) sends all a peer might, twice, before the
// peer speaks: neither a natchat peer nor a plain one is kept from its mode, nothing of it is shown
// or answered, and the peer stays where it was typed. Then sealed records of every size, and a
// peer that roams: only its sealed record moves it.
TEST(SecureLink, NeighbourOnThePeersAddressChangesNothing) {
    Handshake forger, peer;
    ASSERT_TRUE(envelope_startup() && handshake_start(&forger));
    Channel keys{};
    const auto sealed = [&](const std::string& body) { return test::sealed(&keys, body); };
    const std::string commit = test::message(make_commit, forger), reveal = test::message(make_reveal, forger);
    const test::Lines hostile[] = {{commit}, {reveal}, {sealed(std::string("\0\0\0\1hi", 6))}, {"forged"},
                             {"KEEPALIVE BYE"}, {"PUNCH", "PUNCH_ACK"}, {commit, reveal}};
    for (bool natchat : {true, false}) {
        for (const test::Lines& h : hostile) {
            test::Rig rig(true);
            test::SimulatedClock clock(0xFFFFFFFFu - 1000);
            ASSERT_TRUE(handshake_start(&peer));
            const std::string out = rig.chat([&] {
                for (int i = 0; i < 2; ++i) for (const std::string& d : h) rig.elsewhere.send(d, rig.own.endpoint());
                EXPECT_TRUE(test::eventually([&] { return rig.s.run.strangers_dropped == 2 * h.size(); }));
                rig.peer.send(natchat ? test::message(make_commit, peer) : "hello", rig.own.endpoint());
                // A plain peer only listens a while. Under Wine two threads sending at once can
                // lose a datagram: time moves on, and the offer goes again.
                int waits = 0;
                test::agree_as_peer(rig.peer, rig.own.endpoint(), &peer, &keys, natchat ? 200 : 50, [&] {
                    clock.now += natchat ? 500 : 0;
                    return natchat && ++waits < 10;
                });
                clock.now += natchat ? 0 : 3000;
                EXPECT_TRUE(test::eventually([&] { return mode_of(rig) == (natchat ? LinkMode::secure : LinkMode::plain); }));
                EXPECT_TRUE(rig.elsewhere.drain(0).empty() && platform::same_endpoint(peer_endpoint(&rig.s), rig.peer.endpoint()));
                if (natchat) {
                    // Bodies of 0, 3, 4 + 2048 and 4 + 4056 bytes are refused; 4 + 2047 is shown whole.
                    for (std::size_t size : {0, 3, 4 + 2048, 4 + 4056}) rig.peer.send(sealed(std::string(size, '\1')), rig.own.endpoint());
                    const std::string withheld = sealed(std::string("\0\0\0\2y", 5));  // older: moves nothing
                    rig.peer.send(sealed(std::string("\0\0\0\1", 4) + std::string(2047, 'x')), rig.own.endpoint());
                    rig.elsewhere.send(withheld, rig.own.endpoint());
                    rig.elsewhere.send(sealed(std::string("\0\0\0\2z", 5)), rig.own.endpoint());
                    EXPECT_TRUE(test::eventually([&] { return platform::same_endpoint(peer_endpoint(&rig.s), rig.elsewhere.endpoint()); }));
                }
            }, true);
            const std::pair<std::string, bool> shown[] = {{"forged", false}, {"hi\n", false}, {"left", false},
                {"[Peer]: hello", !natchat}, {"[Peer]: " + std::string(2047, 'x') + "\n", natchat}, {"[Peer]: y\n", false}, {"[Peer]: z\n", natchat}};
            for (const auto& [text, expected] : shown) EXPECT_EQ(out.find(text) != std::string::npos, expected) << text << out;
            EXPECT_TRUE(!natchat || (std::strcmp(keys.code, rig.s.secure->channel.code) == 0 && secure_link_refused(&rig.s) == 5));
        }
    }
}

// A port learned from the sweep commits first, and our key goes to it; then the typed port
// speaks: the agreement starts over with a fresh key, and the peer there agrees.
// The same when, instead of the typed port, the peer answers at the IPv6 endpoint of its line.
TEST(SecureLink, TheTypedPortSpeakingStartsTheAgreementOver) {
  for (const bool six : {false, true}) {
    test::Rig rig(true);
    Handshake forger, peer;
    Channel keys{};
    ASSERT_TRUE(handshake_start(&forger) && handshake_start(&peer));
    const platform::Endpoint peer6 = test::loopback6(rig.peer.port), to = six ? test::loopback6(rig.own.port) : rig.own.endpoint();
    if (six) identity_begin(&rig.s, PeerLine{{rig.peer.endpoint(), peer6}, 2});
    identity_punched(&rig.s, rig.elsewhere.port);
    const std::string out = rig.chat([&] {
        for (int i = 0; i < 2; ++i) rig.elsewhere.send("PUNCH", rig.own.endpoint());
        rig.elsewhere.send(test::message(make_commit, forger), rig.own.endpoint());
        EXPECT_EQ(rig.elsewhere.drain(50).size(), 4u) << "an answer, our commitment (bare and proven) and our key";
        const std::string revealed(reinterpret_cast<char*>(rig.s.secure->handshake.pub), 32);
        rig.peer.send(six ? "PUNCH_ACK" : "PUNCH", to);
        rig.peer.send(test::message(make_commit, peer), to);
        test::agree_as_peer(rig.peer, to, &peer, &keys, 3000, [] { return false; }, [&](const std::string& d) {
            EXPECT_EQ(d.find(revealed), std::string::npos) << "the key the other port saw";
        });
        EXPECT_TRUE(test::eventually([&] { return mode_of(rig) == LinkMode::secure; }));
    });
    EXPECT_STREQ(keys.code, rig.s.secure->channel.code) << out;
  }
}

// What the sender's endpoint may do: a commitment that may not bind counts for nothing, plain text
// from an endpoint nobody gave is refused, and a peer that offered once stays offered when the
// agreement starts over. On a port nobody gave, a peer that offers nothing is never sent plain text.
TEST(SecureLink, TheSendersStandingDecides) {
    test::Rig rig(true), learned(true), tagged(true);
    test::SimulatedClock clock(1000);
    Handshake peer;
    ASSERT_TRUE(handshake_start(&peer));
    std::uint8_t commit[kHandshakeSize];
    make_commit(&peer, commit);
    const auto* hello = reinterpret_cast<const std::uint8_t*>("hello");
    Received unbound, plain, bound;
    bool offered[3];
    // No plain text to a port nobody gave, nor to a peer whose line says that it offers a session.
    set_peer_endpoint(&learned.s, learned.elsewhere.endpoint());
    identity_begin(&tagged.s, PeerLine{{tagged.peer.endpoint()}, 1, true, {}});
    const std::string out = test::output_of([&](std::FILE*) {
        secure_link_receive(&rig.s, commit, sizeof commit, Sender{false, true, false}, &unbound);
        offered[0] = secure_link_offered(&rig.s);
        secure_link_receive(&rig.s, hello, 5, Sender{false, false, true}, &plain);
        secure_link_receive(&rig.s, commit, sizeof commit, Sender{false, false, true}, &bound);
        offered[1] = secure_link_offered(&rig.s);
        secure_link_restart(&rig.s);
        offered[2] = secure_link_offered(&rig.s);
        for (test::Rig* r : {&learned, &tagged}) secure_link_tick(&r->s);
        clock.now += 3000;
        for (test::Rig* r : {&learned, &tagged}) {
            secure_link_tick(&r->s);
            secure_link_send(&r->s, "typed", 5);
            secure_link_finish(&r->s, 0);
        }
    });
    EXPECT_TRUE(!offered[0] && offered[1] && offered[2]) << offered[0] << offered[1] << offered[2];
    EXPECT_TRUE(plain.taken && plain.refused && plain.lines.empty());
    for (test::Rig* r : {&learned, &tagged}) {
        EXPECT_EQ(mode_of(*r), LinkMode::failed);
        const test::UdpSocket& there = r == &learned ? r->elsewhere : r->peer;
        for (const std::string& d : there.drain(30)) EXPECT_TRUE(d.starts_with("KEEPALIVE")) << d;
    }
    EXPECT_NE(out.find("plain text may not go there"), std::string::npos) << out;
}

// The peer leaves with its sealed bye: a line typed then is not sent, and says so. Its program
// starts again at the same endpoint and punches: it is taken back, and a new session is agreed
// with new keys and a new code.
TEST(SecureLink, APeerThatLeftIsTakenBackWithNewKeys) {
    test::Rig rig(true);
    test::SimulatedClock clock(0xFFFFFFFFu - 1000);
    Handshake runs[2];
    Channel keys[2]{};
    std::string codes[2];
    ASSERT_TRUE(handshake_start(&runs[0]) && handshake_start(&runs[1]));
    const std::string out = rig.chat([&] {
        for (int run = 0; run < 2; ++run) {
            rig.peer.send(test::message(make_commit, runs[run]), rig.own.endpoint());
            int waits = 0;
            test::agree_as_peer(rig.peer, rig.own.endpoint(), &runs[run], &keys[run], 200, [&] {
                clock.now += 500;
                return ++waits < 10;
            });
            EXPECT_TRUE(test::eventually([&] { return mode_of(rig) == LinkMode::secure; }));
            codes[run] = locked(rig, [](const SecureLink& l) { return std::string(l.channel.code); });
            if (run == 1) break;
            secure_link_send(&rig.s, "unconfirmed", 11);  // the peer never acknowledges it
            std::uint8_t bye[kRecordOverhead];
            rig.peer.send(std::string(reinterpret_cast<char*>(bye), seal_record(&keys[0], 'B', nullptr, 0, bye)), rig.own.endpoint());
            EXPECT_TRUE(test::eventually([&] { return rig.s.run.presence == Presence::left; }));
            secure_link_send(&rig.s, "into the void", 13);
            rig.peer.send("PUNCH", rig.own.endpoint());
            EXPECT_TRUE(test::eventually([&] { return mode_of(rig) == LinkMode::agreeing; }));
        }
    }, true);
    EXPECT_NE(out.find("[Not sent: the peer has left the chat]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n[The peer is back]\n> \n[The peer did not confirm 1 line(s), from \"unconfirmed\" on]\n> \nThe peer's program "
                       "started again"), std::string::npos) << out;
    EXPECT_TRUE(codes[0] == keys[0].code && codes[1] == keys[1].code && codes[0] != codes[1]) << codes[0] << codes[1];
}

}  // namespace
