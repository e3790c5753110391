// Feeds arbitrary datagrams to the classifier and the display filter, and checks that nothing a
// terminal would act on survives the filter; and the same bytes, as a peer line the peer sent,
// to its reader: what it takes, written back, reads as the same endpoints, tag and relayed address. The proof is
// checked on the exact bytes, so that a read past them is caught, and only a proof made under the
// tag holds.
#include <cstdint>
#include <cstring>
#include <vector>

#include "peer/proof.h"
#include "peer/protocol.h"
#include "address/address_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxChatLine) size = kMaxChatLine;
    std::vector<std::uint8_t> datagram(data, data + size);
    classify_datagram(datagram.data(), datagram.size());
    static const std::uint8_t kTag[kLineTagSize] = {1, 2, 3};
    const platform::Endpoint to{0xC0000201, 5000}, other{0xC0000201, 5001};
    if (proof_holds(kTag, datagram.data(), datagram.size(), to)) __builtin_trap();  // a forgery
    std::vector<std::uint8_t> proven(datagram);
    proven.resize(size + kProofSize);
    const std::size_t with_proof = proof_append(kTag, proven.data(), size, to);
    // A proof follows a datagram (one of no bytes proves nothing), and holds only where it was sent.
    if (!proof_holds(kTag, proven.data(), with_proof, to) != (size == 0) || proof_holds(kTag, proven.data(), with_proof, other)) __builtin_trap();

    std::vector<char> shown(size + 1);
    const std::size_t n = sanitize_for_display(datagram.data(), datagram.size(), shown.data());
    if (n > size || shown[n] != '\0') __builtin_trap();
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<std::uint8_t>(shown[i]);
        if ((b < 0x20 && b != '\t') || b == 0x7F) __builtin_trap();
        // A C1 control encoded in UTF-8 is C2 80 to C2 9F.
        if (b == 0xC2 && i + 1 < n && static_cast<std::uint8_t>(shown[i + 1]) <= 0x9F) __builtin_trap();
    }
    // What passes the filter passes it again unchanged.
    std::vector<char> again(n + 1);
    const std::size_t m = sanitize_for_display(reinterpret_cast<const std::uint8_t*>(shown.data()), n, again.data());
    if (m != n || std::memcmp(shown.data(), again.data(), n) != 0) __builtin_trap();

    std::vector<char> text(datagram.begin(), datagram.end());
    text.push_back('\0');
    PeerLine line{}, back{};
    char written[kPeerLineSize];
    if (!parse_peer_line(text.data(), &line)) return 0;
    format_peer_line(line, written);
    if (!parse_peer_line(written, &back) || back.count != line.count || back.tagged != line.tagged ||
        std::memcmp(back.tag, line.tag, kLineTagSize) != 0 || !platform::same_endpoint(back.relayed, line.relayed)) __builtin_trap();
    for (std::size_t i = 0; i < line.count; ++i) {
        if (!platform::same_endpoint(back.candidates[i], line.candidates[i])) __builtin_trap();
    }
    return 0;
}
