// The secure link's receive path, given whatever a datagram may hold: as it came, to a link still
// agreeing (commitments, reveals, records it cannot open, plain words); and sealed under the key of
// an agreed session, its first byte the record's kind and the rest its body, as a peer that holds
// the keys, or a man in the middle before the codes are compared, could send it.
#include <cstdint>
#include <vector>

#include "peer/secure_link.h"
#include "shared/peer_session.h"

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
    const std::vector<std::uint8_t> datagram(data, data + size);  // exact size: over-reads show
    Received r;
    secure_link_receive(&agreeing, datagram.data(), datagram.size(), false, &r);
    if (size == 0 || r.opened || !r.lines.empty()) return 0;
    std::vector<std::uint8_t> record(size - 1 + kRecordOverhead);
    record.resize(seal_record(&peer, data[0], data + 1, size - 1, record.data()));
    secure_link_receive(&agreed, record.data(), record.size(), false, &r);
    for (const std::string& line : r.lines) {
        if (line.empty() || line.size() > kMaxChatLine) __builtin_trap();
    }
    return 0;
}
