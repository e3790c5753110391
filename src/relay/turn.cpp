#include "relay/turn.h"

#include <gcrypt.h>

#include <cstdio>
#include <cstring>

#include "bytes/byte_order.h"
#include "bytes/wipe.h"

namespace {

constexpr std::uint16_t kClassIndication = 0x0010;
constexpr std::uint16_t kClassSuccess = 0x0100;
constexpr std::uint16_t kClassError = 0x0110;

constexpr std::uint16_t kAttrUsername = 0x0006;
constexpr std::uint16_t kAttrErrorCode = 0x0009;
constexpr std::uint16_t kAttrChannelNumber = 0x000C;
constexpr std::uint16_t kAttrLifetime = 0x000D;
constexpr std::uint16_t kAttrXorPeerAddress = 0x0012;
constexpr std::uint16_t kAttrData = 0x0013;
constexpr std::uint16_t kAttrRealm = 0x0014;
constexpr std::uint16_t kAttrNonce = 0x0015;
constexpr std::uint16_t kAttrXorRelayedAddress = 0x0016;
constexpr std::uint16_t kAttrRequestedTransport = 0x0019;
constexpr std::uint8_t kTransportUdp = 17;

bool copy_value(const StunAttribute& a, void* out, std::size_t capacity, std::size_t* size) {
    if (a.length > capacity) return false;
    std::memcpy(out, a.value, a.length);
    *size = a.length;
    return true;
}

}  // namespace

bool turn_take_challenge(TurnCredentials* c, const char* realm, const std::uint8_t* nonce,
                         std::size_t nonce_size) {
    if (nonce_size > sizeof c->nonce || std::strlen(realm) >= sizeof c->realm) return false;
    char secret[sizeof c->user + sizeof c->realm + sizeof c->password + 2];
    std::size_t n = 0;
    const char* const parts[] = {c->user, ":", realm, ":", c->password};
    for (const char* part : parts) {
        append_secret(secret, sizeof secret, &n, part, std::strlen(part));  // each part fits
    }
    gcry_md_hash_buffer(GCRY_MD_MD5, c->key, secret, n);
    wipe(secret, sizeof secret);
    if (realm != c->realm) std::snprintf(c->realm, sizeof c->realm, "%s", realm);  // a new one
    std::memcpy(c->nonce, nonce, nonce_size);
    c->nonce_size = nonce_size;
    c->challenged = true;
    return true;
}

std::size_t turn_build_request(const TurnRequest& r, const std::uint8_t id[kTransactionIdSize],
                               const TurnCredentials& c, std::uint8_t* out, std::size_t capacity) {
    StunWriter w{out, capacity, 0, false};
    stun_begin(&w, r.method, id);
    if (r.method == kTurnAllocate) {
        const std::uint8_t transport[4] = {kTransportUdp, 0, 0, 0};
        stun_add(&w, kAttrRequestedTransport, transport, sizeof transport);
    }
    if (r.method == kTurnChannelBind) {
        std::uint8_t channel[4] = {};  // the number and two reserved bytes
        write16(channel, r.channel);
        stun_add(&w, kAttrChannelNumber, channel, sizeof channel);
    }
    if (r.method == kTurnChannelBind || r.method == kTurnCreatePermission) {
        stun_add_address(&w, kAttrXorPeerAddress, r.peer);
    }
    if ((r.method == kTurnAllocate || r.method == kTurnRefresh) && r.lifetime != kNoLifetime) {
        std::uint8_t lifetime[4];
        write32(lifetime, r.lifetime);
        stun_add(&w, kAttrLifetime, lifetime, sizeof lifetime);
    }
    if (c.challenged) {
        stun_add(&w, kAttrUsername, c.user, std::strlen(c.user));
        stun_add(&w, kAttrRealm, c.realm, std::strlen(c.realm));
        stun_add(&w, kAttrNonce, c.nonce, c.nonce_size);
        stun_add_integrity(&w, c.key, sizeof c.key);
    }
    stun_add_fingerprint(&w);
    return w.overflow ? 0 : w.size;
}

bool turn_read_response(const std::uint8_t* data, std::size_t size,
                        const std::uint8_t id[kTransactionIdSize], const TurnCredentials& c,
                        TurnResponse* out) {
    StunMessage m{};
    if (!stun_read_header(data, size, &m) || std::memcmp(data + 8, id, kTransactionIdSize) != 0) {
        return false;
    }
    const std::uint16_t kind = m.type & kClassError;
    if (kind != kClassSuccess && kind != kClassError) return false;
    TurnResponse r{};
    r.method = m.type & static_cast<std::uint16_t>(~kClassError);
    r.lifetime = kNoLifetime;
    bool authenticated = false, fingerprinted = false;
    std::size_t at = 0, realm_size = 0;
    StunAttribute a{};
    for (StunWalk step; (step = stun_next(m, &at, &a)) != StunWalk::end;) {
        // Nothing may follow FINGERPRINT, and only FINGERPRINT may follow MESSAGE-INTEGRITY.
        if (step == StunWalk::malformed || fingerprinted) return false;
        if (a.type == kAttrFingerprint) {
            if (!stun_fingerprint_holds(m, a)) return false;
            fingerprinted = true;
        } else if (authenticated) {
            continue;
        } else if (a.type == kAttrMessageIntegrity) {
            if (!c.challenged || !stun_integrity_holds(m, a, c.key, sizeof c.key)) return false;
            authenticated = true;
        } else if (a.type == kAttrErrorCode) {
            if (a.length < 4 || a.value[2] < 3 || a.value[2] > 6 || a.value[3] > 99) return false;
            r.error = a.value[2] * 100 + a.value[3];
        } else if (a.type == kAttrXorRelayedAddress || a.type == kAttrXorMappedAddress) {
            platform::Endpoint* to = a.type == kAttrXorMappedAddress ? &r.mapped : &r.relayed;
            if (!stun_address(m, a, true, to)) return false;
        } else if (a.type == kAttrLifetime) {
            if (a.length != 4) return false;
            r.lifetime = read32(a.value);
        } else if (a.type == kAttrRealm) {
            if (!copy_value(a, r.realm, sizeof r.realm - 1, &realm_size)) return false;
            if (std::memchr(r.realm, '\0', realm_size) != nullptr) return false;
        } else if (a.type == kAttrNonce) {
            if (!copy_value(a, r.nonce, sizeof r.nonce, &r.nonce_size)) return false;
        }
    }
    if (kind == kClassError && r.error == 0) return false;
    if (kind == kClassSuccess && c.challenged && !authenticated) return false;
    *out = r;
    return true;
}

std::size_t turn_build_send(platform::Endpoint peer, const std::uint8_t* data, std::size_t size,
                            std::uint8_t* out, std::size_t capacity) {
    std::uint8_t id[kTransactionIdSize] = {};
    platform::random_bytes(id, sizeof id);
    StunWriter w{out, capacity, 0, false};
    stun_begin(&w, kClassIndication | kTurnSend, id);
    stun_add_address(&w, kAttrXorPeerAddress, peer);
    stun_add(&w, kAttrData, data, size);
    return w.overflow ? 0 : w.size;
}

bool turn_read_data(const std::uint8_t* data, std::size_t size, platform::Endpoint* peer,
                    const std::uint8_t** payload, std::size_t* payload_size) {
    StunMessage m{};
    if (!stun_read_header(data, size, &m) || m.type != (kClassIndication | kTurnData)) return false;
    bool have_peer = false, have_data = false;
    platform::Endpoint from{0, 0};
    std::size_t at = 0;
    StunAttribute a{}, carried{};
    for (StunWalk step; (step = stun_next(m, &at, &a)) != StunWalk::end;) {
        if (step == StunWalk::malformed) return false;
        if (a.type == kAttrXorPeerAddress && !have_peer) {
            if (!stun_address(m, a, true, &from)) return false;
            have_peer = true;
        } else if (a.type == kAttrData && !have_data) {
            carried = a;
            have_data = true;
        }
    }
    if (!have_peer || !have_data) return false;
    *peer = from;
    *payload = carried.value;
    *payload_size = carried.length;
    return true;
}

std::size_t turn_build_channel_data(std::uint16_t channel, const std::uint8_t* data,
                                    std::size_t size, std::uint8_t* out, std::size_t capacity) {
    if (size > 0xFFFF || capacity < kChannelHeaderSize + size) return 0;
    write16(out, channel);
    write16(out + 2, static_cast<std::uint16_t>(size));
    std::memcpy(out + kChannelHeaderSize, data, size);
    return kChannelHeaderSize + size;
}

bool turn_read_channel_data(const std::uint8_t* data, std::size_t size, std::uint16_t* channel,
                            const std::uint8_t** payload, std::size_t* payload_size) {
    if (size < kChannelHeaderSize) return false;
    const std::uint16_t number = read16(data);
    const std::size_t length = read16(data + 2);
    if (number < kFirstChannel || number > kLastChannel || length > size - kChannelHeaderSize) {
        return false;
    }
    *channel = number;
    *payload = data + kChannelHeaderSize;
    *payload_size = length;
    return true;
}
