// The secure session: the agreement and its order, sealed records and each way one is refused,
// and, in simulated time, lossless delivery, the fall-back to plain and the keepalives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gcrypt.h>

#include "peer/delivery.h"
#include "peer/envelope.h"
#include "peer/link.h"
#include "peer/receiver.h"
#include "peer/secure_link.h"
#include "support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Agrees a session between `a` and `b`, each with the other's commitment first.
bool agree(Handshake* a, Handshake* b, Channel* ca, Channel* cb) {
    std::uint8_t m[kHandshakeSize];
    make_commit(b, m);
    take_commit(a, m, sizeof m);
    make_commit(a, m);
    take_commit(b, m, sizeof m);
    make_reveal(b, m);
    const bool ok = take_reveal(a, m, sizeof m, ca);
    make_reveal(a, m);
    return take_reveal(b, m, sizeof m, cb) && ok;
}

std::string hex(const std::uint8_t* p, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
    return text;
}

// The protocol document's test vectors (its `name: value` lines, from RFC 7748's keys) are what
// the code makes of them, Alice's keys and Bob's code (who orders the public keys the other way
// round); then the order of the agreement, and each way it is refused.
TEST(Envelope, AgreementNeedsTheCommitmentFirst) {
    ASSERT_TRUE(envelope_startup());
    std::map<std::string, std::string> v, got;
    std::ifstream doc(NATCHAT_PROTOCOL_DOC);
    for (std::string line; std::getline(doc, line);) {
        if (std::smatch m; std::regex_match(line, m, std::regex("([a-z_1]+): ([0-9a-f]+|[0-9]{4} [0-9]{4})\r?"))) v[m[1]] = m[2];
    }
    ASSERT_EQ(v.size(), 15u) << "the test vectors of " NATCHAT_PROTOCOL_DOC;
    Handshake a{}, b{}, m1, m2, c, d;
    Channel ca, cb, cm1, cm2;
    std::uint8_t reveal[kHandshakeSize], commit[kHandshakeSize], record[45], base[32] = {9};
    for (const std::string who : {"alice", "bob"}) {  // leaves Bob's reveal in `reveal`
        Handshake* h = who == "bob" ? &b : &a;
        for (int i = 0; i < 32; ++i) h->secret[i] = static_cast<std::uint8_t>(std::stoi(v[who + "_private"].substr(2 * i, 2), nullptr, 16));
        ASSERT_EQ(gcry_ecc_mul_point(GCRY_ECC_CURVE25519, h->pub, h->secret, base), 0);
        gcry_md_hash_buffer(GCRY_MD_SHA256, h->commit, h->pub, sizeof h->pub);
        make_commit(h, commit);
        make_reveal(h, reveal);
        got.insert({{who + "_public", hex(h->pub, 32)}, {who + "_commitment", hex(commit, sizeof commit)},
                    {who + "_reveal", hex(reveal, sizeof reveal)}});
    }
    EXPECT_FALSE(take_reveal(&a, reveal, sizeof reveal, &ca)) << "a reveal before its commitment";
    ASSERT_TRUE(agree(&a, &b, &ca, &cb));
    const std::uint8_t line[] = {0, 0, 0, 1, 'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(seal_record(&ca, 'L', line, sizeof line, record), sizeof record);
    got.insert({{"alice_send_key", hex(ca.send_key, 32)}, {"bob_send_key", hex(ca.recv_key, 32)},
                {"security_code", cb.code}, {"alice_line_1", hex(record, sizeof record)}});
    for (const auto& [name, value] : got) EXPECT_EQ(value, v[name]) << name;
    make_commit(&a, commit);
    EXPECT_FALSE(take_commit(&a, commit, sizeof commit)) << "our own commitment sent back";
    for (Handshake* h : {&a, &b, &m1, &m2, &c, &d}) ASSERT_TRUE(handshake_start(h));
    // A forged commitment first does not shut the real one out, but no more than four are kept:
    // each is a try at the code for whoever sits in between.
    for (Handshake* h : {&m1, &m2, &m1, &c}) {
        make_commit(h, commit);
        EXPECT_TRUE(take_commit(&a, commit, sizeof commit));
    }
    make_reveal(&b, reveal);
    EXPECT_FALSE(take_reveal(&a, reveal, sizeof reveal, &ca)) << "a key other than the ones bound";
    make_commit(&b, commit);
    EXPECT_TRUE(take_commit(&a, commit, sizeof commit) && take_reveal(&a, reveal, sizeof reveal, &ca));
    make_commit(&d, commit);
    EXPECT_FALSE(take_commit(&a, commit, sizeof commit)) << "a fifth";
    // A low-order key (all zeros) would give a shared secret of zeros: refused.
    ASSERT_TRUE(handshake_start(&a));
    std::memset(reveal + kEnvelopeHeader, 0, 32);
    gcry_md_hash_buffer(GCRY_MD_SHA256, commit + kEnvelopeHeader, reveal + kEnvelopeHeader, 32);
    EXPECT_TRUE(take_commit(&a, commit, sizeof commit));
    EXPECT_FALSE(take_reveal(&a, reveal, sizeof reveal, &ca));
    // Someone in between agrees a session with each side: the two codes differ.
    for (Handshake* h : {&a, &b}) ASSERT_TRUE(handshake_start(h));
    ASSERT_TRUE(agree(&a, &m1, &ca, &cm1) && agree(&m2, &b, &cm2, &cb));
    EXPECT_STRNE(ca.code, cb.code);
}

TEST(Envelope, SealedRecordsOpenOnceAndOnlyUnaltered) {
    Handshake a, b, c;
    Channel ca, cb, cc, spare;
    for (Handshake* h : {&a, &b, &c}) ASSERT_TRUE(handshake_start(h));
    ASSERT_TRUE(agree(&a, &b, &ca, &cb) && handshake_start(&a) && agree(&a, &c, &spare, &cc));
    const auto seal = [&](std::size_t size) {
        Bytes out(size + kRecordOverhead);
        EXPECT_EQ(seal_record(&ca, 'L', std::string(size, 'x').data(), size, out.data()), out.size());
        return out;
    };
    const Bytes first = seal(5), second = seal(2047);
    const auto with = [](Bytes m, std::size_t at) { m[at] ^= 1; return m; };
    Bytes late;
    for (int i = 0; i < 64; ++i) late = seal(1);
    const struct {
        Bytes record;
        Channel* opener;
        bool opens;
    } cases[] = {
        {second, &cb, true}, {first, &cb, true},  // reordered within the window
        {second, &cb, false},                     // replayed
        {with(seal(3), 20), &cb, false},          // ciphertext altered
        {with(seal(3), 18), &cb, false},          // counter altered
        {with(seal(3), 10), &cb, false},          // type altered
        {with(seal(3), 30), &cb, false},          // tag altered
        {seal(3), &cc, false},                    // another session's key
        {seal(3), &ca, false},                    // our own key: the direction is wrong
        {Bytes(first.begin(), first.end() - 1), &cb, false},  // truncated
        {Bytes(4096 + kRecordOverhead, 0), &cb, false},       // oversized
        {late, &cb, true}, {seal(1), &cb, true},
        {seal(1), &cb, true},
    };
    std::uint8_t kind = 0, body[4096];
    std::size_t n = 0;
    const auto opens = [&](const Bytes& r, Channel* opener) {
        return open_record(opener, r.data(), r.size(), &kind, body, sizeof body, &n);
    };
    for (const auto& c : cases) {
        EXPECT_EQ(opens(c.record, c.opener), c.opens);
        EXPECT_TRUE(!c.opens || (kind == 'L' && n == c.record.size() - kRecordOverhead));
    }
    // Behind the newest, the last 64 counters may still come once; one before them is too old to
    // tell from a replay.
    const Bytes too_old = seal(1), oldest = seal(1);
    for (int i = 0; i < 63; ++i) late = seal(1);
    EXPECT_TRUE(opens(late, &cb) && opens(oldest, &cb));
    EXPECT_FALSE(opens(too_old, &cb));
}

TEST(Delivery, RetransmitsInOrderWithBackOffAndGivesUp) {
    Delivery d;
    std::vector<std::uint32_t> sent;
    const SendLine send = [&](std::uint32_t seq, const std::string&) { sent.push_back(seq); };
    for (int i = 0; i < 100; ++i) delivery_queue(&d, "line " + std::to_string(i), 1000);
    delivery_pump(&d, 1000, send);
    EXPECT_EQ(sent.size(), 64u) << "a window of 64 lines";
    EXPECT_EQ(delivery_due_in(&d, 1999), 1u);
    delivery_pump(&d, 1999, send);
    EXPECT_EQ(sent.size(), 64u);
    delivery_pump(&d, 2000, send);  // the first time-out: everything in flight again
    EXPECT_EQ(sent.size(), 128u);
    EXPECT_EQ(delivery_due_in(&d, 2000), 2000u) << "doubled";
    delivery_acked(&d, 2100, 10, 0b101, send);  // 1-10, 12 and 14 came: 11 and 13 are resent
    EXPECT_EQ(std::vector<std::uint32_t>(sent.begin() + 128, sent.end()),
              (std::vector<std::uint32_t>{11, 13, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74}));
    EXPECT_EQ(d.rto, 1000u) << "no round trip from lines sent twice";
    delivery_acked(&d, 2250, 74, 0, send);  // lines 65-74, sent once, came back in 150 ms
    EXPECT_TRUE(d.srtt == 150 && d.rto == 200) << d.srtt << " " << d.rto;
    EXPECT_EQ(sent.size(), 128u + 12 + 26) << "and the window moves on to the last 26";
    delivery_acked(&d, 2400, 74, 1, send);  // 76 came, 75 not: sent a round trip ago, it waits
    EXPECT_EQ(sent.size(), 166u);
    delivery_acked(&d, 2401, 74, 1, send);
    EXPECT_EQ(sent.back(), 75u);
    delivery_acked(&d, 2402, 100, 0, send);
    std::size_t count = 0;
    std::string first;
    delivery_queue(&d, "unanswered", 3000);
    delivery_queue(&d, "also", 3000);
    EXPECT_FALSE(delivery_give_up(&d, 32999, &count, &first));
    EXPECT_TRUE(delivery_give_up(&d, 33000, &count, &first));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(first, "unanswered");
}

TEST(Delivery, ReceiverShowsEachLineOnceInOrder) {
    Delivery d;
    std::vector<std::string> ready;
    std::uint32_t cumulative = 0;
    std::uint64_t map = 0;
    for (std::uint32_t seq : {2u, 4u, 2u, 65u, 64u, 1u, 1u, 3u}) {
        delivery_take(&d, seq, std::to_string(seq), &ready);
    }
    EXPECT_EQ(ready, (std::vector<std::string>{"1", "2", "3", "4"}));
    delivery_ack(&d, &cumulative, &map);
    EXPECT_EQ(cumulative, 4u);
    EXPECT_EQ(map, std::uint64_t{1} << 58) << "64 is held; 65 was beyond the window";
    delivery_take(&d, 6, "6", &ready);
    delivery_ack(&d, &cumulative, &map);
    EXPECT_EQ(map, (std::uint64_t{1} << 0) | (std::uint64_t{1} << 58));
}

// Two sessions agree and chat through a relay, in simulated time: it drops every fourth of the
// first 160 datagrams, later all of them for a while. The clock moves slowly while lines are on
// their way, so that a slow machine does not reach the time to give up.
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
    test::Rig a, b;
    const auto locked = [](test::Rig& r, const std::function<bool(const Delivery&)>& look) {
        platform::lock_enter(&r.s.secure->lock);
        const bool yes = look(r.s.secure->delivery);
        platform::lock_leave(&r.s.secure->lock);
        return yes;
    };
    test::UdpSocket& relay = a.peer;  // a sends to it; it passes on to b, and back
    identity_begin(&b.s, relay.endpoint());
    enum { lossy, clean, black_hole };
    std::atomic<int> path{lossy};
    std::atomic<bool> done{false};
    std::thread pass([&] {
        std::string d;
        int n = 0;
        for (platform::Endpoint from{}; !done;) {
            if (!relay.receive(&d, &from, 5) || path == black_hole) continue;
            if (path == clean || ++n % 4 != 0 || n > 160) {
                relay.send(d, from.port == a.own.port ? b.own.endpoint() : a.own.endpoint());
            }
        }
    });
    const std::string out = test::output_of([&](std::FILE*) {
        for (test::Rig* r : {&a, &b}) {
            ASSERT_TRUE(envelope_startup() && secure_link_open(&r->s));
            r->start(&r->s.recv_thread, receive_loop);
            r->start(&r->s.keepalive_thread, keepalive_loop);
        }
        for (int i = 0; i < 50; ++i) secure_link_send(&a.s, ("line " + std::to_string(i)).c_str(), 6 + (i > 9));
        secure_link_send(&b.s, "back", 4);
        EXPECT_TRUE(until([&] {
            return locked(b, [](const Delivery& d) { return d.delivered == 50 && d.out.empty(); }) &&
                   locked(a, [](const Delivery& d) { return d.delivered == 1 && d.out.empty(); });
        }));
        EXPECT_GT(secure_link_tick(&a.s), 5000u) << "both have the keys: no more offers";
        a.peer.send("plain text", b.own.endpoint());  // a plain line from the secure peer's address
        path = black_hole;
        secure_link_send(&a.s, "lost line", 9);
        EXPECT_TRUE(until([&] { return locked(a, [](const Delivery& d) { return d.out.empty(); }); }, 50));
        secure_link_send(&a.s, "lost again", 10);
        secure_link_finish(&a.s, 1000);  // says what may not have arrived; its bye is lost too
        path = clean;
        const std::uint32_t finishing = clock.now;
        secure_link_finish(&b.s, 5000);
        EXPECT_LT(clock.now - finishing, 100u) << "nothing to wait for";
        EXPECT_TRUE(until([&] { return a.s.presence == Presence::left; }));
        // Nothing left to offer, send or decide.
        EXPECT_TRUE(until([&] { return secure_link_tick(&b.s) > 5000; }));
        a.stop();
        b.stop();
    });
    done = true;
    pass.join();
    std::string expected;
    for (int i = 0; i < 50; ++i) expected += "\n[Peer]: line " + std::to_string(i) + "\n> ";
    std::string shown;
    const std::regex line("\n\\[Peer\\]: line [0-9]+\n> ");
    for (std::sregex_iterator m(out.begin(), out.end(), line), end; m != end; ++m) shown += m->str();
    EXPECT_EQ(shown, expected);
    for (const char* part : {"\n[Peer]: back\n> ", "someone is in between.\n> ", "[The peer has left the chat]",
                             "\n[The peer did not confirm 1 line(s), from \"lost line\" on]\n> ",
                             "\n[The peer did not confirm 1 line(s), from \"lost again\" on]\n> "}) {
        EXPECT_NE(out.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(out.find("plain text"), std::string::npos);
    EXPECT_EQ(out.find("confirm 0"), std::string::npos);
    EXPECT_EQ(secure_link_refused(&b.s), 1);
    const std::size_t code = out.find("Security code: ");
    EXPECT_NE(out.find(out.substr(code, 24), code + 1), std::string::npos) << "the same code";
    for (test::Rig* r : {&a, &b}) secure_link_close(&r->s);
    EXPECT_TRUE(a.s.secure == nullptr && b.s.secure == nullptr);
}

// In simulated time, across the tick's wrap: offers every 500 ms; plain after 3 s without a sign
// from the peer, after 20 s with signs but no agreement. A peer that says nothing more gets a
// keepalive every 5 s, and its silence is noticed once, 15 s after it was last heard.
TEST(SecureLink, DecidesForPlainInTimeAndKeepsThePathOpen) {
    for (bool signs : {false, true}) {
        test::Rig rig;
        test::SimulatedClock clock(0xFFFFFFFFu - 1000);
        rig.s.last_heard = clock.now.load();
        ASSERT_TRUE(envelope_startup() && secure_link_open(&rig.s));
        std::uint8_t commit[kHandshakeSize];
        Handshake other;
        ASSERT_TRUE(handshake_start(&other));
        make_commit(&other, commit);
        // What the peer got since the last look, sorted: 'C' a commitment, 'R' a key, 'K' a keepalive.
        const auto got = [&] {
            std::string kinds;
            for (const std::string& d : rig.peer.drain(30)) kinds += d == "KEEPALIVE" ? 'K' : d[10];
            std::sort(kinds.begin(), kinds.end());
            return kinds;
        };
        const auto mode = [&] {
            platform::lock_enter(&rig.s.secure->lock);
            const LinkMode m = rig.s.secure->mode;
            platform::lock_leave(&rig.s.secure->lock);
            return m;
        };
        // The keepalive thread times its sleep from when it lies down: let it, before time moves.
        const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
        const std::string out = test::output_of([&](std::FILE*) {
            rig.start(&rig.s.recv_thread, receive_loop);
            rig.start(&rig.s.keepalive_thread, keepalive_loop);
            EXPECT_EQ(got(), "CK");
            for (int i = 0; signs && i < 2; ++i) {
                rig.peer.send(std::string(reinterpret_cast<char*>(commit), sizeof commit), rig.own.endpoint());
            }
            // Once the peer has offered, a plain line claiming to be its is refused.
            if (signs) rig.peer.send("plain line", rig.own.endpoint());
            EXPECT_EQ(got(), signs ? "CR" : "");  // the first commitment is answered at once, once
            clock.now += 499;
            EXPECT_EQ(got(), "");
            clock.now += 1;
            EXPECT_EQ(got(), signs ? "CR" : "C");
            clock.now += (signs ? 20000 : 3000) - 501;
            EXPECT_FALSE(test::eventually([&] { return mode() != LinkMode::agreeing; }, 50));
            clock.now += 1;
            EXPECT_TRUE(test::eventually([&] { return mode() == (signs ? LinkMode::failed : LinkMode::plain); }));
            // To 5 s, and to 15 s: the keepalive due at 10 s goes out when the clock jumps past.
            const std::pair<std::uint32_t, const char*> steps[] = {{1999, ""}, {1, "K"}, {9999, "K"}, {1, ""}};
            for (const auto& [step, kinds] : steps) {
                if (signs) break;
                got();
                settle();
                clock.now += step;
                EXPECT_EQ(got(), kinds) << step;
                EXPECT_EQ(rig.s.presence == Presence::silent, clock.now - rig.s.last_heard >= 15000);
            }
            rig.peer.send("KEEPALIVE", rig.own.endpoint());
            EXPECT_TRUE(test::eventually([&] { return rig.s.presence == Presence::present; }));
            rig.stop();
        });
        const std::string plain = signs ? "\nNo secure session could be agreed with the peer, although its "
                                          "program offers one: someone may be interfering. Nothing more "
                                          "is sent; type 'quit' to leave.\n> "
                                        : "\nThis chat is NOT encrypted: the peer's program does not offer "
                                          "a secure session.\n> ";
        EXPECT_TRUE(signs || out == plain + "\n[Nothing heard from the peer for 15 seconds]\n> "
                                            "\n[The peer is back]\n> ") << out;
        EXPECT_TRUE(out.find(plain) != std::string::npos && out.find(plain) == out.rfind(plain.substr(0, 9)));
        EXPECT_EQ(out.find("plain line"), std::string::npos);
        EXPECT_EQ(secure_link_refused(&rig.s), signs ? 1 : 0);
        secure_link_close(&rig.s);
    }
}

}  // namespace

namespace {

// Someone who shares the peer's address (another port) sends all a peer might, twice, before the
// peer speaks: neither a natchat peer nor a plain one is kept from its mode, nothing of it is shown
// or answered, and the peer stays where it was typed. Then sealed records of every size, and a
// peer that roams: only its sealed record moves it.
TEST(SecureLink, NeighbourOnThePeersAddressChangesNothing) {
    Handshake forger, peer;
    ASSERT_TRUE(envelope_startup() && handshake_start(&forger));
    const auto made = [](auto make, const Handshake& h) {
        Bytes m(kHandshakeSize);
        make(&h, m.data());
        return std::string(m.begin(), m.end());
    };
    Channel keys{};
    const auto sealed = [&](std::string body) {
        Bytes m(body.size() + kRecordOverhead);
        seal_record(&keys, 'L', body.data(), body.size(), m.data());
        return std::string(m.begin(), m.end());
    };
    const std::string commit = made(make_commit, forger), reveal = made(make_reveal, forger);
    const test::Lines hostile[] = {{commit}, {reveal}, {sealed(std::string("\0\0\0\1hi", 6))}, {"forged"},
                             {"KEEPALIVE BYE"}, {"PUNCH", "PUNCH_ACK"}, {commit, reveal}};
    for (bool natchat : {true, false}) {
        for (const test::Lines& h : hostile) {
            test::Rig rig;
            test::SimulatedClock clock(0xFFFFFFFFu - 1000);
            ASSERT_TRUE(secure_link_open(&rig.s) && handshake_start(&peer));
            const auto mode = [&] {
                platform::lock_enter(&rig.s.secure->lock);
                const LinkMode m = rig.s.secure->mode;
                platform::lock_leave(&rig.s.secure->lock);
                return m;
            };
            const std::string out = test::output_of([&](std::FILE*) {
                rig.start(&rig.s.recv_thread, receive_loop);
                rig.start(&rig.s.keepalive_thread, keepalive_loop);
                for (int i = 0; i < 2; ++i) for (const std::string& d : h) rig.elsewhere.send(d, rig.own.endpoint());
                EXPECT_TRUE(test::eventually([&] { return rig.s.strangers_dropped == 2 * static_cast<int>(h.size()); }));
                rig.peer.send(natchat ? made(make_commit, peer) : "hello", rig.own.endpoint());
                for (const std::string& d : rig.peer.drain(50)) {
                    const auto* m = reinterpret_cast<const std::uint8_t*>(d.data());
                    if (take_commit(&peer, m, d.size()) || take_reveal(&peer, m, d.size(), &keys)) {
                        rig.peer.send(made(make_reveal, peer), rig.own.endpoint());
                    }
                }
                clock.now += natchat ? 0 : 3000;
                EXPECT_TRUE(test::eventually([&] { return mode() == (natchat ? LinkMode::secure : LinkMode::plain); }));
                EXPECT_TRUE(rig.elsewhere.drain(0).empty() && platform::same_endpoint(rig.s.peer_addr, rig.peer.endpoint()));
                if (natchat) {
                    // Bodies of 0, 3, 4 + 2048 and 4 + 4056 bytes are refused; 4 + 2047 is shown whole.
                    for (std::size_t size : {0, 3, 4 + 2048, 4 + 4056}) rig.peer.send(sealed(std::string(size, '\1')), rig.own.endpoint());
                    rig.peer.send(sealed(std::string("\0\0\0\1", 4) + std::string(2047, 'x')), rig.own.endpoint());
                    rig.elsewhere.send(sealed(std::string("\0\0\0\2y", 5)), rig.own.endpoint());
                    EXPECT_TRUE(test::eventually([&] { return platform::same_endpoint(rig.s.peer_addr, rig.elsewhere.endpoint()); }));
                }
                rig.stop();
            });
            EXPECT_TRUE(out.find("forged") == std::string::npos && out.find("hi\n") == std::string::npos &&
                        out.find("left") == std::string::npos) << out;
            EXPECT_EQ(out.find("[Peer]: hello") != std::string::npos, !natchat);
            EXPECT_EQ(out.find("[Peer]: " + std::string(2047, 'x') + "\n") != std::string::npos, natchat);
            EXPECT_EQ(out.find("[Peer]: y\n") != std::string::npos, natchat);
            EXPECT_TRUE(!natchat || (std::strcmp(keys.code, rig.s.secure->channel.code) == 0 &&
                                     secure_link_refused(&rig.s) == 4));
            secure_link_close(&rig.s);
        }
    }
}

}  // namespace
