// The secure session's envelope: the protocol document's vectors, the agreement and its order,
// sealed records and each way one is refused.

#include <gcrypt.h>

#include "support.h"

namespace {

using test::Bytes;

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
    const auto flip = [](Bytes m, std::size_t at) { m[at] ^= 1; return m; };
    Bytes late;
    for (int i = 0; i < 64; ++i) late = seal(1);
    const struct { const char* name; Bytes record; Channel* opener = nullptr; bool opens = false; } rows[] = {
        {.name = "the later of two first", .record = second, .opener = &cb, .opens = true},
        {.name = "the earlier, within the window", .record = first, .opener = &cb, .opens = true},
        {.name = "replayed", .record = second, .opener = &cb}, {.name = "ciphertext altered", .record = flip(seal(3), 20), .opener = &cb},
        {.name = "counter altered", .record = flip(seal(3), 18), .opener = &cb}, {.name = "type altered", .record = flip(seal(3), 10), .opener = &cb},
        {.name = "tag altered", .record = flip(seal(3), 30), .opener = &cb}, {.name = "another session's key", .record = seal(3), .opener = &cc},
        {.name = "our own key: the direction is wrong", .record = seal(3), .opener = &ca},
        {.name = "truncated", .record = Bytes(first.begin(), first.end() - 1), .opener = &cb},
        {.name = "oversized", .record = Bytes(4096 + kRecordOverhead, 0), .opener = &cb},
        {.name = "after a gap", .record = late, .opener = &cb, .opens = true},
        {.name = "newer than those refused", .record = seal(1), .opener = &cb, .opens = true},
        {.name = "the next", .record = seal(1), .opener = &cb, .opens = true},
    };
    std::uint8_t kind = 0, body[4096];
    std::size_t n = 0;
    const auto opens = [&](const Bytes& r, Channel* by) { return open_record(by, r.data(), r.size(), &kind, body, sizeof body, &n); };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
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

}  // namespace
