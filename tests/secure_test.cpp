// The secure session: the agreement and its order, sealed records and each way one is refused,
// and, in simulated time, lossless delivery, the fall-back to plain and the keepalives.

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <tuple>

#include <gcrypt.h>

#include "stun/message.h"
#include "secure/delivery.h"
#include "secure/envelope.h"
#include "support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// What `look` reads of the secure session, under its lock, as the workers write it.
template <class Look> auto locked(test::Rig& r, Look look) {
    platform::lock_enter(&r.s.secure->lock);
    const auto got = look(*r.s.secure);
    platform::lock_leave(&r.s.secure->lock);
    return got;
}
LinkMode mode_of(test::Rig& r) { return locked(r, [](const SecureLink& l) { return l.mode; }); }

// A commitment or a key, made by `make`, as `h` sends it.
std::string message(void (*make)(const Handshake*, std::uint8_t*), const Handshake& h) {
    std::uint8_t m[kHandshakeSize];
    make(&h, m);
    return std::string(reinterpret_cast<char*>(m), sizeof m);
}

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

// Plays the peer's side of the agreement at `peer` until our key has come: the peer's key, sent to
// `to`, answers our commitment and our key. Each datagram goes past `seen` first; after a wait of
// `wait_ms` that brings nothing, `silence` says whether to wait again.
void agree_as_peer(const test::UdpSocket& peer, platform::Endpoint to, Handshake* h, Channel* keys,
                   std::uint32_t wait_ms, const std::function<bool()>& silence,
                   const std::function<void(const std::string&)>& seen = [](const std::string&) {}) {
    std::string d;
    platform::Endpoint from{};
    for (bool keyed = false; !keyed;) {
        if (!peer.receive(&d, &from, wait_ms)) {
            if (!silence()) return;
            continue;
        }
        seen(d);
        const auto* m = reinterpret_cast<const std::uint8_t*>(d.data());
        const bool committed = take_commit(h, m, d.size());
        keyed = !committed && take_reveal(h, m, d.size(), keys);
        if (committed || keyed) peer.send(message(make_reveal, *h), to);
    }
}

std::string hex(const std::uint8_t* p, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
    return text;
}
// HMAC-SHA256 keyed with the first part, of the others one after the other.
Bytes hmac(std::vector<Bytes> parts) {
    std::vector<gcry_buffer_t> iov;
    for (Bytes& p : parts) iov.push_back({0, 0, p.size(), p.data()});
    Bytes out(32);
    return gcry_md_hash_buffers(GCRY_MD_SHA256, GCRY_MD_FLAG_HMAC, out.data(), iov.data(), static_cast<int>(iov.size())) == 0 ? out : Bytes{};
}

// Every test vector of the protocol document (its `name: value` lines) is what the code makes of
// its inputs, and the steps of the key schedule that the code keeps to itself are worked out here:
// Alice's records and Bob's (who orders the public keys the other way round), a code with leading
// zeros, the proofs. Then the order of the agreement, and each way it is refused.
TEST(Envelope, AgreementNeedsTheCommitmentFirst) {
    ASSERT_TRUE(envelope_startup());
    std::map<std::string, std::string> v, got;
    std::ifstream doc(NATCHAT_PROTOCOL_DOC);
    for (std::string line; std::getline(doc, line);) {
        if (std::smatch m; std::regex_match(line, m, std::regex("([a-z0-9_]+): ([0-9a-f]+|[0-9]{4} [0-9]{4})\r?"))) v[m[1]] = m[2];
    }
    const auto input = [&](const std::string& name) {
        Bytes b;
        for (std::size_t i = 0; i + 1 < v[name].size(); i += 2) b.push_back(static_cast<std::uint8_t>(std::stoi(v[name].substr(i, 2), nullptr, 16)));
        return got[name] = v[name], b;
    };
    Handshake a{}, b{}, c{}, d{}, m1, m2;
    Channel ca, cb, cc, cd, cm1, cm2;
    std::uint8_t reveal[kHandshakeSize], commit[kHandshakeSize], record[kHandshakeSize + kProofSize], base[32] = {9};
    for (const std::string who : {"carol", "dave", "alice", "bob"}) {  // leaves Bob's reveal in `reveal`
        Handshake* h = who == "alice" ? &a : who == "bob" ? &b : who == "carol" ? &c : &d;
        const Bytes secret = input(who + "_private");
        ASSERT_EQ(secret.size(), 32u) << who;
        std::copy(secret.begin(), secret.end(), h->secret);
        ASSERT_EQ(gcry_ecc_mul_point(GCRY_ECC_CURVE25519, h->pub, h->secret, base), 0);
        gcry_md_hash_buffer(GCRY_MD_SHA256, h->commit, h->pub, sizeof h->pub);
        make_commit(h, commit);
        make_reveal(h, reveal);
        if (h == &a || h == &b) got.insert({{who + "_public", hex(h->pub, 32)}, {who + "_commitment", hex(commit, sizeof commit)}, {who + "_reveal", hex(reveal, sizeof reveal)}});
    }
    Bytes shared(32);
    ASSERT_EQ(gcry_ecc_mul_point(GCRY_ECC_CURVE25519, shared.data(), a.secret, b.pub), 0);
    const char salt[32] = "natchat secure chat, version 1";
    const Bytes prk = hmac({Bytes(salt, salt + 32), shared});
    EXPECT_FALSE(take_reveal(&a, reveal, sizeof reveal, &ca)) << "a reveal before its commitment";
    ASSERT_TRUE(agree(&a, &b, &ca, &cb) && agree(&c, &d, &cc, &cd));
    EXPECT_EQ(hex(a.secret, 32) + hex(b.secret, 32), std::string(128, '0')) << "secrets kept after use";
    // T3 after the code's T2, Bob's key (his public key is the higher).
    const Bytes t3 = hmac({prk, Bytes(cb.send_key, cb.send_key + 32), Bytes(a.pub, a.pub + 32), Bytes(b.pub, b.pub + 32), {3}});
    const std::uint8_t line[] = {0, 0, 0, 1, 'h', 'e', 'l', 'l', 'o'}, ack[] = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 5};
    got.insert({{"shared_secret", hex(shared.data(), 32)}, {"hkdf_prk", hex(prk.data(), 32)}, {"code_block", hex(t3.data(), 32)},
                {"alice_send_key", hex(ca.send_key, 32)}, {"bob_send_key", hex(cb.send_key, 32)}, {"security_code", cb.code},
                {"carol_dave_code", std::string(cc.code) == cd.code ? cc.code : "the two differ"}});
    got["alice_line_1"] = hex(record, seal_record(&ca, 'L', line, sizeof line, record));
    cb.sent = 1;  // Bob's first record told Alice that he has the keys
    got["bob_ack_2"] = hex(record, seal_record(&cb, 'A', ack, sizeof ack, record));
    got["bob_bye_3"] = hex(record, seal_record(&cb, 'B', nullptr, 0, record));
    const Bytes tag = input("proof_tag");
    ASSERT_EQ(tag.size(), kLineTagSize);
    platform::Endpoint to[2] = {};  // the proofs' destinations: family, port, address
    for (int six = 0; six < 2; ++six) {
        const Bytes e = input(six ? "proof_to6" : "proof_to");
        ASSERT_EQ(e.size(), six ? 19u : 7u);
        to[six] = {six ? 0 : read32(&e[3]), read16(&e[1]), six == 1};
        if (six) std::copy(e.begin() + 3, e.end(), to[1].ip6);
    }
    const ProvenWord punch = proven_word(tag.data(), "PUNCH", to[0]), answer = proven_word(tag.data(), "PUNCH_ACK", to[0]);
    make_commit(&a, record);
    const std::size_t proven = proof_append(tag.data(), record, kHandshakeSize, to[1]);
    EXPECT_TRUE(envelope_type(record, proven) == EnvelopeType::commit && proof_holds(tag.data(), record, proven, to[1]));
    EXPECT_FALSE(proof_holds(tag.data(), record, proven, to[0])) << "sent to another endpoint";
    got.insert({{"proof_punch", hex(punch.bytes, punch.size)}, {"proof_punch_ack", hex(answer.bytes, answer.size)}, {"proof_alice_commitment", hex(record, proven)}});
    for (const auto& [name, value] : v) EXPECT_EQ(got[name], value) << name;
    EXPECT_EQ(got.size(), v.size()) << "a value checked here that " NATCHAT_PROTOCOL_DOC " lacks";
    make_commit(&a, commit);
    EXPECT_FALSE(take_commit(&a, commit, sizeof commit)) << "our own commitment sent back";
    for (Handshake* h : {&a, &b, &m1}) ASSERT_TRUE(handshake_start(h));
    // The first commitment binds: once our reveal is out, another would let whoever sits in
    // between pick its key knowing ours.
    make_commit(&m1, commit);
    EXPECT_TRUE(take_commit(&a, commit, sizeof commit) && take_commit(&a, commit, sizeof commit));
    make_reveal(&b, reveal);
    make_commit(&b, commit);
    EXPECT_FALSE(take_commit(&a, commit, sizeof commit)) << "a second";
    EXPECT_FALSE(take_reveal(&a, reveal, sizeof reveal, &ca)) << "a key other than the one bound";
    // A low-order key (all zeros) would give a shared secret of zeros: refused.
    ASSERT_TRUE(handshake_start(&a));
    std::memset(reveal + kEnvelopeHeader, 0, 32);
    gcry_md_hash_buffer(GCRY_MD_SHA256, commit + kEnvelopeHeader, reveal + kEnvelopeHeader, 32);
    EXPECT_TRUE(take_commit(&a, commit, sizeof commit));
    EXPECT_FALSE(take_reveal(&a, reveal, sizeof reveal, &ca));
    // Someone in between agrees a session with each side: the two codes differ.
    for (Handshake* h : {&a, &b, &m1, &m2}) ASSERT_TRUE(handshake_start(h));
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

// Two deliveries on a path of a fixed round trip, in simulated milliseconds from just before the
// tick's wrap. `lose` drops lines by number, acknowledgements by their cumulative number.
struct Path {
    explicit Path(std::uint32_t round_trip) : rtt(round_trip) {}
    std::uint32_t rtt, t = 0;
    std::function<bool(std::uint32_t t, bool ack, std::uint32_t seq)> lose = [](auto...) { return false; };
    Delivery a, b;
    std::multimap<std::uint32_t, std::tuple<bool, std::uint32_t, std::uint64_t, std::string>> wire;  // by arrival
    std::map<std::uint32_t, std::vector<std::uint32_t>> sent;  // each line's sendings
    std::vector<std::string> shown;
    std::vector<std::tuple<std::uint32_t, std::size_t, std::string>> stalls;
    std::uint32_t now() const { return 0xFFFFFFFFu - 1000 + t; }
    void put(bool ack, std::uint32_t seq, std::uint64_t map, const std::string& text) {
        if (!lose(t, ack, seq)) wire.emplace(t + (ack ? rtt - rtt / 2 : rtt / 2), std::tuple{ack, seq, map, text});
    }
    void run(std::uint32_t ms) {
        const SendLine send = [this](std::uint32_t seq, const std::string& text) { sent[seq].push_back(t), put(false, seq, 0, text); };
        for (const std::uint32_t end = t + ms; t < end; ++t) {
            if (delivery_due_in(&a, now()) == 0) delivery_pump(&a, now(), send);
            for (auto w = wire.begin(); w != wire.end() && w->first <= t; w = wire.erase(w)) {
                auto [ack, seq, map, text] = w->second;
                if (ack) {
                    delivery_acked(&a, now(), seq, map, send);
                    continue;
                }
                delivery_take(&b, seq, text, &shown);
                delivery_ack(&b, &seq, &map);
                put(true, seq, map, "");
            }
            std::size_t count = 0;
            std::string first;
            if (delivery_stalled(&a, now(), &count, &first)) stalls.emplace_back(t, count, first);
        }
    }
    // The next lines up to "to", one every `every` ms.
    void queue(std::uint32_t to, std::uint32_t every) { for (; a.next_seq <= to; run(every)) delivery_queue(&a, std::to_string(a.next_seq)); }
};

std::vector<std::string> numbers(std::uint32_t n) {
    std::vector<std::string> all;
    while (all.size() < n) all.push_back(std::to_string(all.size() + 1));
    return all;
}

// At round trips of 1, 50 and 200 ms, once 20 lines have taught it, 10 lines (21-30) go at once and
// some, or their acknowledgements, are lost. A lost line is resent once, within the time the table
// gives; a line whose acknowledgement came never is. Every line is shown once, in order.
TEST(Delivery, ResendsLostLinesAtTheSpeedOfThePath) {
    const struct {
        std::set<std::uint32_t> lost, lost_acks, resent;
        std::uint32_t eighths;  // of a round trip, and a tick, from the sending to the last resending
    } cases[] = {
        {{29}, {}, {29}, 9},                  // one later line came: 9/8 round trip
        {{22, 24, 27}, {}, {22, 24, 27}, 8},  // three later lines came: at once
        {{30}, {}, {30}, 8},                  // nothing after it: the probe time-out
        {{29, 30}, {}, {29, 30}, 8},
        {{}, {25}, {}, 0},                    // a later acknowledgement says it
        {{}, {30}, {30}, 8},                  // nothing says it
    };
    for (std::uint32_t rtt : {1u, 50u, 200u}) {
        for (const auto& c : cases) {
            Path p(rtt);
            p.queue(20, rtt + 1);
            const std::uint32_t start = p.t;  // the first sendings of lines, and their first acknowledgements
            p.lose = [&](std::uint32_t t, bool ack, std::uint32_t seq) { return t == start + (ack ? rtt / 2 : 0) && (ack ? c.lost_acks : c.lost).count(seq); };
            p.queue(30, 0);
            p.run(1000);
            for (std::uint32_t seq = 21; seq <= 30; ++seq) {
                const std::vector<std::uint32_t>& at = p.sent[seq];
                EXPECT_TRUE(at.size() == 1 + c.resent.count(seq) && at[0] == start && at.back() - start <= rtt * c.eighths / 8 + 2) << seq << " at " << rtt;
            }
            EXPECT_EQ(p.shown, numbers(30));
        }
        // Cut for 12 s, then losing each line's first sending: while nothing at all comes back, the
        // probe time-out doubles, up to 2 s; the first acknowledgement brings it back.
        Path p(rtt);
        p.queue(20, rtt + 1);
        p.lose = [&, back = p.t + 12000](std::uint32_t t, bool ack, std::uint32_t seq) { return t < back || (!ack && p.sent[seq].size() == 1); };
        p.queue(22, 14000);
        std::uint32_t gap = rtt + 2;
        for (std::size_t i = 1; i < p.sent[21].size(); ++i, gap = std::min(2 * gap, 2000u)) EXPECT_EQ(p.sent[21][i] - p.sent[21][i - 1], gap) << i << " at " << rtt;
        EXPECT_TRUE(gap == 2000 && p.sent[22].size() == 2 && p.sent[22][1] - p.sent[22][0] == rtt + 2) << rtt;
    }
}

// A line every 100 ms for 60 s, at a round trip of 50 ms, across cuts at 10-50 s and 55-90 s: each
// stall is told once, 30 s in, with the lines then unconfirmed; every line comes, once and in order.
TEST(Delivery, LinesSurviveOutages) {
    Path p(50);
    p.lose = [](std::uint32_t t, bool, std::uint32_t) { return (t >= 10000 && t < 50000) || (t >= 55000 && t < 90000); };
    p.queue(600, 100);
    p.run(32000);
    EXPECT_EQ(p.stalls, (decltype(p.stalls){{40000, 301, "101"}, {85000, 50, "551"}}));
    EXPECT_EQ(p.shown, numbers(600));
    // Of "601" to "604", "602" and "603" come (one twice), and one beyond the window: the map of the
    // acknowledgement starts after the next line, and only "601" and "604" are unconfirmed.
    p.queue(604, 1);
    std::uint32_t cumulative = 0;
    std::uint64_t map = 0;
    for (std::uint32_t seq : {603u, 602u, 603u, 665u}) delivery_take(&p.b, seq, "", &p.shown);
    delivery_ack(&p.b, &cumulative, &map);
    EXPECT_TRUE(p.shown.size() == 600 && cumulative == 600 && map == 0b11) << cumulative << " " << map;
    delivery_acked(&p.a, p.now(), cumulative, map, [](std::uint32_t, const std::string&) {});
    std::string first;
    EXPECT_TRUE(delivery_unconfirmed(&p.a, &first) == 2 && first == "601");
    // Across the wrap of the numbers: 0 follows 2^32 - 1, and an acknowledgement from before it
    // acknowledges nothing after it.
    Delivery wrap;
    wrap.next_seq = wrap.delivered = 0xFFFFFFFE;
    for (std::uint32_t seq : {0u, 0xFFFFFFFEu, 0xFFFFFFFFu}) delivery_take(&wrap, seq, std::to_string(seq), &p.shown);
    for (int i = 0; i < 3; ++i) delivery_queue(&wrap, "");
    delivery_pump(&wrap, 0, [](std::uint32_t, const std::string&) {});
    delivery_acked(&wrap, 0, 0xFFFFFFFD, 0, [](std::uint32_t, const std::string&) {});
    EXPECT_TRUE(wrap.delivered == 0 && p.shown.back() == "0" && delivery_unconfirmed(&wrap, &first) == 3) << p.shown.back();
}

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
    test::Rig a, b;
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
            if (path == clean || ++n % 4 != 0 || n > 160) {
                relay.send(d, from.port == a.own.port ? b.own.endpoint() : a.own.endpoint());
            }
        }
    });
    const std::string out = test::output_of([&](std::FILE*) {
        for (test::Rig* r : {&a, &b}) {
            ASSERT_TRUE(envelope_startup() && secure_link_open(&r->s));
            r->start(true);
        }
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
                             "\n[The peer has not confirmed 1 line(s) for 30 seconds, from \"lost line\" on: still sending]\n> ",
                             "\n[The peer did not confirm 2 line(s), from \"lost line\" on]\n> "}) {
        EXPECT_NE(out.find(part), std::string::npos) << part << out;
    }
    for (const char* absent : {"plain text", "confirm 0"}) EXPECT_EQ(out.find(absent), std::string::npos) << absent;
    EXPECT_EQ(secure_link_refused(&b.s), 1);
    const std::size_t code = out.find("Security code: ");
    EXPECT_NE(out.find(out.substr(code, 24), code + 1), std::string::npos) << "the same code";
}

// In simulated time, across the tick's wrap: offers every 500 ms; plain after 3 s without a sign
// from the peer, after 20 s with signs but no agreement. A peer that says nothing more gets a
// keepalive every 5 s, and its silence is noticed once, 15 s after it was last heard.
TEST(SecureLink, DecidesForPlainInTimeAndKeepsThePathOpen) {
    for (bool signs : {false, true}) {
        test::Rig rig;
        test::SimulatedClock clock(0xFFFFFFFFu - 1000);
        rig.s.run.last_heard = clock.now.load();
        ASSERT_TRUE(envelope_startup() && secure_link_open(&rig.s));
        Handshake other;
        ASSERT_TRUE(handshake_start(&other));
        const std::string commit = message(make_commit, other);
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
            clock.now += 499;
            EXPECT_EQ(got(), "");
            clock.now += 1;
            EXPECT_EQ(got(), signs ? "CR" : "C");
            clock.now += (signs ? 20000 : 3000) - 501;
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
                                          "program offers one: someone may be interfering. Nothing more "
                                          "is sent; type 'quit' to leave.\n> "
                                        : "\nThis chat is NOT encrypted: the peer's program does not offer "
                                          "a secure session.\n> ";
        EXPECT_TRUE(signs || out == plain + "\n[Nothing heard from the peer for 15 seconds]\n> "
                                            "\n[The peer is back]\n> \nThe peer's program offers a secure "
                                            "session after all: the lines before this went unencrypted.\n> \n[1 line(s) sent "
                                            "unencrypted, from \"sent before the offer\" on: the peer may not have "
                                            "shown them]\n> ") << out;
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
    const auto sealed = [&](std::string body) {
        Bytes m(body.size() + kRecordOverhead);
        seal_record(&keys, 'L', body.data(), body.size(), m.data());
        return std::string(m.begin(), m.end());
    };
    const std::string commit = message(make_commit, forger), reveal = message(make_reveal, forger);
    const test::Lines hostile[] = {{commit}, {reveal}, {sealed(std::string("\0\0\0\1hi", 6))}, {"forged"},
                             {"KEEPALIVE BYE"}, {"PUNCH", "PUNCH_ACK"}, {commit, reveal}};
    for (bool natchat : {true, false}) {
        for (const test::Lines& h : hostile) {
            test::Rig rig;
            test::SimulatedClock clock(0xFFFFFFFFu - 1000);
            ASSERT_TRUE(secure_link_open(&rig.s) && handshake_start(&peer));
            const std::string out = rig.chat([&] {
                for (int i = 0; i < 2; ++i) for (const std::string& d : h) rig.elsewhere.send(d, rig.own.endpoint());
                EXPECT_TRUE(test::eventually([&] { return rig.s.run.strangers_dropped == 2 * h.size(); }));
                rig.peer.send(natchat ? message(make_commit, peer) : "hello", rig.own.endpoint());
                // A plain peer only listens a while. Under Wine two threads sending at once can
                // lose a datagram: time moves on, and the offer goes again.
                int waits = 0;
                agree_as_peer(rig.peer, rig.own.endpoint(), &peer, &keys, natchat ? 200 : 50, [&] {
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
            EXPECT_TRUE(!natchat || (std::strcmp(keys.code, rig.s.secure->channel.code) == 0 &&
                                     secure_link_refused(&rig.s) == 5));
        }
    }
}

// A port learned from the sweep commits first, and our key goes to it; then the typed port
// speaks: the agreement starts over with a fresh key, and the peer there agrees.
// The same when, instead of the typed port, the peer answers at the IPv6 endpoint of its line.
TEST(SecureLink, TheTypedPortSpeakingStartsTheAgreementOver) {
  for (const bool six : {false, true}) {
    test::Rig rig;
    Handshake forger, peer;
    Channel keys{};
    ASSERT_TRUE(envelope_startup() && secure_link_open(&rig.s) && handshake_start(&forger) && handshake_start(&peer));
    platform::Endpoint to = rig.own.endpoint(), peer6{0, rig.peer.port, true};
    peer6.ip6[15] = 1;  // [::1], where both sockets serve too
    if (six) {
        to = peer6;
        to.port = rig.own.port;
        identity_begin(&rig.s, PeerLine{{rig.peer.endpoint(), peer6}, 2});
    }
    identity_punched(&rig.s, rig.elsewhere.port);
    const std::string out = rig.chat([&] {
        for (int i = 0; i < 2; ++i) rig.elsewhere.send("PUNCH", rig.own.endpoint());
        rig.elsewhere.send(message(make_commit, forger), rig.own.endpoint());
        EXPECT_EQ(rig.elsewhere.drain(50).size(), 4u) << "an answer, our commitment (bare and proven) and our key";
        const std::string revealed(reinterpret_cast<char*>(rig.s.secure->handshake.pub), 32);
        rig.peer.send(six ? "PUNCH_ACK" : "PUNCH", to);
        rig.peer.send(message(make_commit, peer), to);
        agree_as_peer(rig.peer, to, &peer, &keys, 3000, [] { return false; }, [&](const std::string& d) {
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
    test::Rig rig, learned, tagged;
    test::SimulatedClock clock(1000);
    Handshake peer;
    ASSERT_TRUE(envelope_startup() && handshake_start(&peer));
    for (test::Rig* r : {&rig, &learned, &tagged}) ASSERT_TRUE(secure_link_open(&r->s));
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
    test::Rig rig;
    test::SimulatedClock clock(0xFFFFFFFFu - 1000);
    Handshake runs[2];
    Channel keys[2]{};
    std::string codes[2];
    ASSERT_TRUE(envelope_startup() && secure_link_open(&rig.s) && handshake_start(&runs[0]) && handshake_start(&runs[1]));
    const std::string out = rig.chat([&] {
        for (int run = 0; run < 2; ++run) {
            rig.peer.send(message(make_commit, runs[run]), rig.own.endpoint());
            int waits = 0;
            agree_as_peer(rig.peer, rig.own.endpoint(), &runs[run], &keys[run], 200, [&] {
                clock.now += 500;
                return ++waits < 10;
            });
            EXPECT_TRUE(test::eventually([&] { return mode_of(rig) == LinkMode::secure; }));
            codes[run] = locked(rig, [](const SecureLink& l) { return std::string(l.channel.code); });
            if (run == 1) break;
            std::uint8_t bye[kRecordOverhead];
            rig.peer.send(std::string(reinterpret_cast<char*>(bye), seal_record(&keys[0], 'B', nullptr, 0, bye)), rig.own.endpoint());
            EXPECT_TRUE(test::eventually([&] { return rig.s.run.presence == Presence::left; }));
            secure_link_send(&rig.s, "into the void", 13);
            rig.peer.send("PUNCH", rig.own.endpoint());
            EXPECT_TRUE(test::eventually([&] { return mode_of(rig) == LinkMode::agreeing; }));
        }
    }, true);
    EXPECT_NE(out.find("[Not sent: the peer has left the chat]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n[The peer is back]\n> \nThe peer's program started again"), std::string::npos) << out;
    EXPECT_TRUE(codes[0] == keys[0].code && codes[1] == keys[1].code && codes[0] != codes[1]) << codes[0] << codes[1];
}

}  // namespace
