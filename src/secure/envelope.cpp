#include "secure/envelope.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "console/events.h"
#include "bytes/byte_order.h"
#include "peer/proof.h"

namespace {

constexpr std::size_t kTagSize = 16;
constexpr std::size_t kAadSize = kEnvelopeHeader + 8;

// Marked as a keepalive: what a peer that knows none of this takes it for.
void write_header(char type, std::uint8_t* out) {
    std::memcpy(out, kKeepalive, 9);
    out[9] = 0;
    out[10] = static_cast<std::uint8_t>(type);
}

bool hmac_sha256(const std::uint8_t key[32], const std::uint8_t* a, std::size_t a_size,
                 const std::uint8_t* b, std::size_t b_size, std::uint8_t out[32]) {
    gcry_md_hd_t md = nullptr;  // closing a null handle does nothing
    const bool ok = gcry_md_open(&md, GCRY_MD_SHA256, GCRY_MD_FLAG_HMAC) == 0 &&
                    gcry_md_setkey(md, key, 32) == 0;
    if (ok) {
        gcry_md_write(md, a, a_size);
        gcry_md_write(md, b, b_size);
        std::memcpy(out, gcry_md_read(md, GCRY_MD_SHA256), 32);
    }
    gcry_md_close(md);
    return ok;
}

// ChaCha20-Poly1305 in either direction; opening also checks the tag.
bool aead(const std::uint8_t key[32], const std::uint8_t* aad, const std::uint8_t* in,
          std::size_t size, std::uint8_t* out, std::uint8_t* tag, bool seal) {
    std::uint8_t nonce[12] = {};  // 4 zero bytes and the record's counter
    std::memcpy(nonce + 4, aad + kEnvelopeHeader, 8);
    gcry_cipher_hd_t c = nullptr;  // closing a null handle does nothing
    bool ok = gcry_cipher_open(&c, GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_POLY1305, 0) == 0 &&
              gcry_cipher_setkey(c, key, 32) == 0 && gcry_cipher_setiv(c, nonce, sizeof nonce) == 0 &&
              gcry_cipher_authenticate(c, aad, kAadSize) == 0;
    if (seal) {
        ok = ok && gcry_cipher_encrypt(c, out, size, in, size) == 0 &&
             gcry_cipher_gettag(c, tag, kTagSize) == 0;
    } else {
        ok = ok && gcry_cipher_decrypt(c, out, size, in, size) == 0 &&
             gcry_cipher_checktag(c, tag, kTagSize) == 0;
    }
    gcry_cipher_close(c);
    return ok;
}

bool is_peer_commit(const Handshake* h, const std::uint8_t commit[32]) {
    return h->peer_committed && std::memcmp(h->peer_commit, commit, 32) == 0;
}

// libgcrypt writes its own notes to the standard error: on Windows, that 'diskperf -y' would help
// its entropy gatherer, at every start. What it reports as an error still goes out, as a line of
// ours; notes and warnings stay unsaid.
void library_log(void*, int level, const char* format, va_list args) {
    if (level != GCRY_LOG_ERROR && level != GCRY_LOG_FATAL && level != GCRY_LOG_BUG) return;
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    // No console to hand it to: the library may speak before any session exists.
    std::fputs(words_for(Event::crypto_library, {.text = text}).c_str(), stdout);
}

}  // namespace

bool envelope_startup() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        gcry_set_log_handler(library_log, nullptr);
        started = gcry_check_version(GCRYPT_VERSION) != nullptr;
        // Keys live in natchat's own records and are wiped there; the library's locked pool
        // would need privileges a console program does not have.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
    return started;
}

bool handshake_start(Handshake* h) {
    static const std::uint8_t kBasePoint[32] = {9};
    gcry_randomize(h->secret, sizeof h->secret, GCRY_STRONG_RANDOM);
    h->peer_committed = false;
    if (gcry_ecc_mul_point(GCRY_ECC_CURVE25519, h->pub, h->secret, kBasePoint) != 0) return false;
    gcry_md_hash_buffer(GCRY_MD_SHA256, h->commit, h->pub, sizeof h->pub);
    return true;
}

EnvelopeType envelope_type(const std::uint8_t* data, std::size_t size) {
    // The shortest of them is a record without a body.
    const bool marked = size >= kRecordOverhead && std::memcmp(data, kKeepalive, 9) == 0 && data[9] == 0;
    if (!marked) return EnvelopeType::none;
    switch (data[10]) {
        // A commitment may carry a proof of the sender's peer line after it (peer/proof.h).
        case 'C':
            return size == kHandshakeSize || (size == kHandshakeSize + kProofSize &&
                                              data[kHandshakeSize] == 0 && data[kHandshakeSize + 1] == 'P')
                       ? EnvelopeType::commit
                       : EnvelopeType::none;
        case 'R': return size == kHandshakeSize ? EnvelopeType::reveal : EnvelopeType::none;
        case 'S': return EnvelopeType::record;
        default: return EnvelopeType::none;
    }
}

void make_commit(const Handshake* h, std::uint8_t out[kHandshakeSize]) {
    write_header('C', out);
    std::memcpy(out + kEnvelopeHeader, h->commit, 32);
}

void make_reveal(const Handshake* h, std::uint8_t out[kHandshakeSize]) {
    write_header('R', out);
    std::memcpy(out + kEnvelopeHeader, h->pub, 32);
}

bool take_commit(Handshake* h, const std::uint8_t* data, std::size_t size) {
    if (envelope_type(data, size) != EnvelopeType::commit) return false;
    const std::uint8_t* commit = data + kEnvelopeHeader;
    // Our own commitment sent back would have us talk to ourselves.
    if (std::memcmp(commit, h->commit, 32) == 0) return false;
    if (h->peer_committed) return is_peer_commit(h, commit);
    std::memcpy(h->peer_commit, commit, 32);
    h->peer_committed = true;
    return true;
}

bool take_reveal(Handshake* h, const std::uint8_t* data, std::size_t size, Channel* channel) {
    if (envelope_type(data, size) != EnvelopeType::reveal) return false;
    const std::uint8_t* peer_pub = data + kEnvelopeHeader;
    std::uint8_t hash[32];
    gcry_md_hash_buffer(GCRY_MD_SHA256, hash, peer_pub, 32);
    if (!is_peer_commit(h, hash)) return false;

    std::uint8_t shared[32];
    static const std::uint8_t kZero[32] = {};
    if (gcry_ecc_mul_point(GCRY_ECC_CURVE25519, shared, h->secret, peer_pub) != 0 ||
        std::memcmp(shared, kZero, 32) == 0) {  // a low-order point: no secret at all
        wipe(shared, sizeof shared);
        return false;
    }
    // HKDF-SHA256 over the shared secret, with both public keys (lower first) as its info.
    static const std::uint8_t kSalt[32] = "natchat secure chat, version 1";
    const bool low = std::memcmp(h->pub, peer_pub, 32) < 0;
    std::uint8_t info[65];
    std::memcpy(info, low ? h->pub : peer_pub, 32);
    std::memcpy(info + 32, low ? peer_pub : h->pub, 32);
    std::uint8_t prk[32] = {}, t[3][32] = {};
    bool ok = hmac_sha256(kSalt, shared, 32, nullptr, 0, prk);
    for (int i = 0; i < 3; ++i) {
        info[64] = static_cast<std::uint8_t>(i + 1);
        ok = ok && hmac_sha256(prk, t[i == 0 ? 0 : i - 1], i == 0 ? 0 : 32, info, sizeof info, t[i]);
    }
    std::memcpy(channel->send_key, t[low ? 0 : 1], 32);
    std::memcpy(channel->recv_key, t[low ? 1 : 0], 32);
    channel->sent = channel->highest = channel->seen = 0;
    const std::uint32_t code = read32(t[2]) % 100000000u;
    std::snprintf(channel->code, sizeof channel->code, "%04u %04u", code / 10000, code % 10000);
    wipe(shared, sizeof shared);
    wipe(prk, sizeof prk);
    wipe(t, sizeof t);
    if (ok) wipe(h->secret, sizeof h->secret);  // the keys are agreed: nothing more to derive
    return ok;
}

std::size_t seal_record(Channel* channel, std::uint8_t kind, const void* body, std::size_t size,
                        std::uint8_t* out) {
    write_header('S', out);
    write64(out + kEnvelopeHeader, ++channel->sent);
    std::uint8_t* plain = out + kAadSize;  // sealed in place
    plain[0] = kind;
    if (size > 0) std::memcpy(plain + 1, body, size);
    if (!aead(channel->send_key, out, plain, size + 1, plain, plain + size + 1, true)) return 0;
    return size + kRecordOverhead;
}

bool open_record(Channel* channel, const std::uint8_t* data, std::size_t size, std::uint8_t* kind,
                 std::uint8_t* body, std::size_t capacity, std::size_t* body_size) {
    if (envelope_type(data, size) != EnvelopeType::record || size - kRecordOverhead > std::min(capacity, kMaxRecordBody)) {
        return false;
    }
    const std::uint64_t counter = read64(data + kEnvelopeHeader);
    const std::uint64_t behind = channel->highest - counter;
    const bool fresh = counter > channel->highest;
    if (counter == 0 || (!fresh && (behind >= 64 || (channel->seen >> behind & 1) != 0))) {
        return false;  // replayed, or too old to tell
    }
    const std::size_t sealed = size - kAadSize - kTagSize;
    std::uint8_t plain[kMaxRecordBody + 1];
    std::uint8_t tag[kTagSize];
    std::memcpy(tag, data + size - kTagSize, kTagSize);
    if (!aead(channel->recv_key, data, data + kAadSize, sealed, plain, tag, false)) return false;
    if (fresh) {
        const std::uint64_t ahead = counter - channel->highest;
        channel->seen = (ahead >= 64 ? 0 : channel->seen << ahead) | 1;
        channel->highest = counter;
    } else {
        channel->seen |= std::uint64_t{1} << behind;
    }
    *kind = plain[0];
    std::memcpy(body, plain + 1, sealed - 1);
    *body_size = sealed - 1;
    wipe(plain, sealed);
    return true;
}
