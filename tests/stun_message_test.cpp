// Message integrity and fingerprints: RFC 5769's vectors, their altered twins, and what we write.

#include "support.h"

namespace {

using test::Bytes;
using test::kRfc5769Response;

// The walk's MESSAGE-INTEGRITY under `key` (`size` bytes) and FINGERPRINT, as far as they are present.
bool checks_hold(const Bytes& m, const void* key, std::size_t size) {
    StunMessage message{};
    StunAttribute a{};
    std::size_t at = 0;
    bool held = stun_read_header(m.data(), m.size(), &message);
    while (held && stun_next(message, &at, &a) == StunWalk::attribute) {
        if (a.type == kAttrMessageIntegrity) held = stun_integrity_holds(message, a, static_cast<const std::uint8_t*>(key), size);
        if (a.type == kAttrFingerprint) held = stun_fingerprint_holds(message, a);
    }
    return held;
}

TEST(StunMessage, Rfc5769VectorsAndOurRequests) {
    ASSERT_TRUE(envelope_startup());
    const std::string password = "VOkJxbRl1RmTxUk/WvJxBt";
    // RFC 5769's request with long-term credentials: USERNAME, NONCE, REALM, MESSAGE-INTEGRITY.
    const char* user = "\xe3\x83\x9e\xe3\x83\x88\xe3\x83\xaa\xe3\x83\x83\xe3\x82\xaf\xe3\x82\xb9";
    const std::string lt = std::string("\0\1\0\x60\x21\x12\xa4\x42\x78\xad\x34\x33\xc6\xad\x72\xc0\x29\xda\x41\x2e", 20) +
                           std::string("\0\6\0\x12", 4) + user + std::string("\0\0\0\x15\0\x1c", 6) + "f//499k954d6OL34oL9FSTvy64sA" +
                           std::string("\0\x14\0\x0b", 4) + "example.org" + std::string("\0\0\x08\0\x14", 5) +
                           "\xf6\x70\x24\x65\x6d\xd6\x4a\x3e\x02\xb8\xe0\x71\x2e\x85\xc9\xa2\x8c\xa8\x96\x66";
    const Bytes long_term(lt.begin(), lt.end());
    TurnCredentials c{"", "TheMatrIX", "", {}, 0, {}, false};
    std::snprintf(c.user, sizeof c.user, "%s", user);
    ASSERT_TRUE(turn_take_challenge(&c, "example.org", long_term.data() + 48, 28));
    EXPECT_TRUE(checks_hold(kRfc5769Response, password.data(), password.size()));
    EXPECT_TRUE(checks_hold(long_term, c.key, sizeof c.key));
    EXPECT_FALSE(checks_hold(test::with(kRfc5769Response, 30, 'x'), password.data(), password.size()));
    EXPECT_FALSE(checks_hold(test::with(long_term, 30, 'x'), c.key, sizeof c.key));
    EXPECT_FALSE(checks_hold(kRfc5769Response, "x", 1));
    // Ours: the long-term credentials and the fingerprint, or nothing when it does not fit.
    std::uint8_t out[200];
    const TurnRequest bind{kTurnChannelBind, kNoLifetime, {0xC0000201, 5000}, kFirstChannel};
    const std::size_t n = turn_build_request(bind, test::kRfc5769Id, c, out, sizeof out);
    EXPECT_TRUE(n > 0 && checks_hold(Bytes(out, out + n), c.key, sizeof c.key));
    EXPECT_EQ(turn_build_request(bind, test::kRfc5769Id, c, out, n - 1), 0u);
}

}  // namespace
