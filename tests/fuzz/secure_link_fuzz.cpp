// The secure link's receive path, given whatever a datagram may hold: as it came, to a link still
// agreeing (commitments, reveals, records it cannot open, plain words); and sealed under the key of
// an agreed session, its first byte the record's kind and the rest its body, as a peer that holds
// the keys, or a man in the middle before the codes are compared, could send it. And read as a
// run of acknowledgements (what such a peer may claim) against a window of waiting lines.
#include <cstdint>
#include <cstring>
#include <vector>

#include "secure/secure_link.h"
#include "session/session.h"

namespace {

// Whatever is acknowledged, only unconfirmed lines of the window go out, and no line is dropped.
void acknowledge(const std::uint8_t* data, std::size_t size) {
    Delivery d;
    const SendLine send = [&d](std::uint32_t seq, const std::string&) {
        if (seq - d.out.front().seq >= kWindow || d.out[seq - d.out.front().seq].acked) __builtin_trap();
    };
    for (int i = 0; i < 80; ++i) delivery_queue(&d, "x");
    std::uint32_t now = 0;
    delivery_pump(&d, now, send);
    std::vector<std::string> ready;
    for (std::size_t at = 0; at + 12 <= size; at += 12) {
        std::uint32_t cumulative;
        std::uint64_t map;
        std::memcpy(&cumulative, data + at, 4);
        std::memcpy(&map, data + at + 4, 8);
        delivery_acked(&d, now += cumulative % 4096, cumulative, map, send);
        delivery_pump(&d, now, send);
        delivery_take(&d, cumulative, "y", &ready);
    }
    const bool whole = d.out.empty() || (!d.out.front().acked && d.out.front().seq + d.out.size() == d.next_seq);
    if (!whole || d.out.size() > 80 || ready.size() > d.delivered) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static PeerSession agreeing, agreed;
    static Channel peer{};
    static const bool ready = [] {
        for (PeerSession* s : {&agreeing, &agreed}) {
            if (!session_init(s) || !envelope_startup() || !secure_link_open(s)) return false;
        }
        agreed.secure->mode = LinkMode::secure;
        for (int i = 0; i < 32; ++i) peer.send_key[i] = agreed.secure->channel.recv_key[i] = static_cast<std::uint8_t>(i);
        return true;
    }();
    if (!ready) __builtin_trap();
    acknowledge(data, size);
    const std::vector<std::uint8_t> datagram(data, data + size);  // exact size: over-reads show
    Received r;
    // Whatever standing its sender has: elsewhere, allowed plain text, allowed to bind.
    const std::uint8_t standing = size > 0 ? data[size - 1] : 0;
    secure_link_receive(&agreeing, datagram.data(), datagram.size(),
                        Sender{(standing & 4) != 0, (standing & 1) != 0, (standing & 2) != 0}, &r);
    if (size == 0 || r.opened || !r.lines.empty()) return 0;
    std::vector<std::uint8_t> record(size - 1 + kRecordOverhead);
    record.resize(seal_record(&peer, data[0], data + 1, size - 1, record.data()));
    secure_link_receive(&agreed, record.data(), record.size(), Sender{false, true, true}, &r);
    for (const std::string& line : r.lines) {
        if (line.empty() || line.size() > kMaxChatLine) __builtin_trap();
    }
    return 0;
}
