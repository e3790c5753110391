#include "stun/message.h"

#include <gcrypt.h>

#include <cstring>

namespace {

constexpr std::uint32_t kFingerprintXor = 0x5354554E;
constexpr std::size_t kFingerprintSize = 4;

// The digest of the message's first `offset` bytes, its Message Length set as if an attribute
// of `value_size` bytes ended the message there. `key` null: no HMAC.
bool prefix_digest(int algorithm, const std::uint8_t* message, std::size_t offset,
                   std::size_t value_size, const std::uint8_t* key, std::size_t key_size,
                   std::uint8_t* out, std::size_t out_size) {
    gcry_md_hd_t h = nullptr;
    if (gcry_md_open(&h, algorithm, key != nullptr ? GCRY_MD_FLAG_HMAC : 0) != 0) return false;
    bool ok = key == nullptr || gcry_md_setkey(h, key, key_size) == 0;
    std::uint8_t header[kStunHeaderSize];
    std::memcpy(header, message, sizeof header);
    write16(header + 2, static_cast<std::uint16_t>(offset - kStunHeaderSize + 4 + value_size));
    gcry_md_write(h, header, sizeof header);
    gcry_md_write(h, message + kStunHeaderSize, offset - kStunHeaderSize);
    const unsigned char* digest = ok ? gcry_md_read(h, algorithm) : nullptr;
    if (digest != nullptr) std::memcpy(out, digest, out_size);
    gcry_md_close(h);
    return digest != nullptr;
}

bool integrity_of(const std::uint8_t* message, std::size_t offset, const std::uint8_t* key,
                  std::size_t key_size, std::uint8_t out[kIntegritySize]) {
    return prefix_digest(GCRY_MD_SHA1, message, offset, kIntegritySize, key, key_size, out,
                         kIntegritySize);
}

// libgcrypt gives the CRC-32 most significant byte first, as it goes on the wire.
bool fingerprint_of(const std::uint8_t* message, std::size_t offset, std::uint32_t* out) {
    std::uint8_t crc[kFingerprintSize];
    if (!prefix_digest(GCRY_MD_CRC32, message, offset, kFingerprintSize, nullptr, 0, crc, sizeof crc)) {
        return false;
    }
    *out = read32(crc) ^ kFingerprintXor;
    return true;
}

// Room for an attribute of `length` value bytes and its padding.
std::uint8_t* reserve(StunWriter* w, std::uint16_t type, std::size_t length) {
    const std::size_t padded = (length + 3) & ~std::size_t{3};
    if (w->overflow || length > 0xFFFF || w->capacity - w->size < 4 + padded) {
        w->overflow = true;
        return nullptr;
    }
    std::uint8_t* p = w->data + w->size;
    write16(p, type);
    write16(p + 2, static_cast<std::uint16_t>(length));
    std::memset(p + 4, 0, padded);
    w->size += 4 + padded;
    write16(w->data + 2, static_cast<std::uint16_t>(w->size - kStunHeaderSize));
    return p + 4;
}

}  // namespace

bool stun_read_header(const std::uint8_t* data, std::size_t size, StunMessage* m) {
    if (size < kStunHeaderSize || (data[0] & 0xC0) != 0 || read32(data + 4) != kMagicCookie) {
        return false;
    }
    const std::size_t length = read16(data + 2);
    if (length > size - kStunHeaderSize) return false;
    *m = StunMessage{data, kStunHeaderSize + length, read16(data)};
    return true;
}

StunWalk stun_next(const StunMessage& m, std::size_t* at, StunAttribute* a) {
    const std::size_t length = m.size - kStunHeaderSize;
    const std::size_t p = *at;
    if (p + 4 > length) return StunWalk::end;
    const std::uint8_t* attr = m.data + kStunHeaderSize + p;
    const std::size_t value_length = read16(attr + 2);
    if (p + 4 + value_length > length) return StunWalk::malformed;
    *a = StunAttribute{read16(attr), attr + 4, value_length, kStunHeaderSize + p};
    *at = p + 4 + ((value_length + 3) & ~std::size_t{3});
    return StunWalk::attribute;
}

bool stun_address(const StunMessage& m, const StunAttribute& a, bool xored,
                  platform::Endpoint* out) {
    const std::size_t size = a.length < 4 ? 0 : a.value[1] == kFamilyIpv4 ? 8 : a.value[1] == kFamilyIpv6 ? 20 : 0;
    if (size == 0 || a.length < size) return false;
    platform::Endpoint e{0, read16(a.value + 2)};
    if (xored) e.port ^= static_cast<std::uint16_t>(kMagicCookie >> 16);
    if (size == 8) {
        e.ip = read32(a.value + 4) ^ (xored ? kMagicCookie : 0);
    } else {
        // IPv6 is XORed with the cookie and the transaction id, which follow each other in the header.
        e.v6 = true;
        for (std::size_t i = 0; i < 16; ++i) e.ip6[i] = a.value[4 + i] ^ (xored ? m.data[4 + i] : 0);
    }
    *out = e;
    return true;
}

bool stun_integrity_holds(const StunMessage& m, const StunAttribute& a, const std::uint8_t* key,
                          std::size_t key_size) {
    std::uint8_t expected[kIntegritySize];
    return a.length == kIntegritySize && integrity_of(m.data, a.offset, key, key_size, expected) &&
           std::memcmp(expected, a.value, kIntegritySize) == 0;
}

bool stun_fingerprint_holds(const StunMessage& m, const StunAttribute& a) {
    std::uint32_t expected = 0;
    return a.length == kFingerprintSize && fingerprint_of(m.data, a.offset, &expected) &&
           expected == read32(a.value);
}

void stun_begin(StunWriter* w, std::uint16_t type, const std::uint8_t id[kTransactionIdSize]) {
    w->size = 0;
    w->overflow = w->capacity < kStunHeaderSize;
    if (w->overflow) return;
    write16(w->data, type);
    write16(w->data + 2, 0);
    write32(w->data + 4, kMagicCookie);
    std::memcpy(w->data + 8, id, kTransactionIdSize);
    w->size = kStunHeaderSize;
}

void stun_add(StunWriter* w, std::uint16_t type, const void* value, std::size_t length) {
    std::uint8_t* p = reserve(w, type, length);
    if (p != nullptr && length > 0) std::memcpy(p, value, length);
}

void stun_add_address(StunWriter* w, std::uint16_t type, platform::Endpoint address) {
    // What natchat writes goes to its relay, which relays for IPv4 peers only.
    std::uint8_t* p = address.v6 ? nullptr : reserve(w, type, 8);
    w->overflow = w->overflow || address.v6;
    if (p == nullptr) return;
    p[1] = kFamilyIpv4;
    write16(p + 2, static_cast<std::uint16_t>(address.port ^ (kMagicCookie >> 16)));
    write32(p + 4, address.ip ^ kMagicCookie);
}

void stun_add_integrity(StunWriter* w, const std::uint8_t* key, std::size_t key_size) {
    const std::size_t offset = w->size;
    std::uint8_t* p = reserve(w, kAttrMessageIntegrity, kIntegritySize);
    if (p != nullptr && !integrity_of(w->data, offset, key, key_size, p)) w->overflow = true;
}

void stun_add_fingerprint(StunWriter* w) {
    const std::size_t offset = w->size;
    std::uint8_t* p = reserve(w, kAttrFingerprint, kFingerprintSize);
    std::uint32_t crc = 0;
    if (p == nullptr) return;
    if (!fingerprint_of(w->data, offset, &crc)) w->overflow = true;
    write32(p, crc);
}
