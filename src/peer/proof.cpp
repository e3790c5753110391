#include "peer/proof.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>

#include "bytes/byte_order.h"

namespace {

constexpr std::size_t kMacSize = kProofSize - 2;

bool mac_of(const std::uint8_t tag[kLineTagSize], const std::uint8_t* data, std::size_t size,
            const platform::Endpoint& to, std::uint8_t out[kMacSize]) {
    std::uint8_t endpoint[3 + 16] = {static_cast<std::uint8_t>(to.v6 ? 6 : 4)};
    write16(endpoint + 1, to.port);
    if (to.v6) {
        std::memcpy(endpoint + 3, to.ip6, 16);
    } else {
        write32(endpoint + 3, to.ip);
    }
    gcry_md_hd_t md = nullptr;  // closing a null handle does nothing
    const bool ok = gcry_md_open(&md, GCRY_MD_SHA256, GCRY_MD_FLAG_HMAC) == 0 &&
                    gcry_md_setkey(md, tag, kLineTagSize) == 0;
    if (ok) {
        gcry_md_write(md, data, size);
        gcry_md_write(md, endpoint, to.v6 ? 19 : 7);
        std::memcpy(out, gcry_md_read(md, GCRY_MD_SHA256), kMacSize);
    }
    gcry_md_close(md);
    return ok;
}

}  // namespace

std::size_t proof_append(const std::uint8_t tag[kLineTagSize], std::uint8_t* datagram, std::size_t size,
                         const platform::Endpoint& to) {
    std::uint8_t* trailer = datagram + size;
    trailer[0] = 0;
    trailer[1] = 'P';
    // Without a MAC the trailer proves nothing, and is sent all the same: the datagram still serves.
    if (!mac_of(tag, datagram, size, to, trailer + 2)) std::memset(trailer + 2, 0, kMacSize);
    return size + kProofSize;
}

bool proof_holds(const std::uint8_t tag[kLineTagSize], const std::uint8_t* data, std::size_t size,
                 const platform::Endpoint& to) {
    if (size <= kProofSize) return false;
    const std::uint8_t* trailer = data + size - kProofSize;
    std::uint8_t expected[kMacSize];
    if (trailer[0] != 0 || trailer[1] != 'P' || !mac_of(tag, data, size - kProofSize, to, expected)) {
        return false;
    }
    unsigned char differ = 0;  // in constant time: the time taken tells nothing of the MAC
    for (std::size_t i = 0; i < kMacSize; ++i) differ |= expected[i] ^ trailer[2 + i];
    return differ == 0;
}

ProvenWord proven_word(const std::uint8_t tag[kLineTagSize], const char* word, const platform::Endpoint& to) {
    ProvenWord w{};
    const std::size_t n = std::min(std::strlen(word), sizeof w.bytes - kProofSize);
    std::memcpy(w.bytes, word, n);
    w.size = proof_append(tag, w.bytes, n, to);
    return w;
}
