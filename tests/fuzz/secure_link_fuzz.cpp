// Seals whatever it is given (its first byte the record's kind, the rest its body) under the key
// of an agreed session and hands it to the secure link's receive path, as a peer that holds the
// keys, or a man in the middle before the codes are compared, could send it.
#include <cstdint>
#include <vector>

#include "peer/secure_link.h"
#include "shared/peer_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static PeerSession s;
    static Channel peer{};
    static const bool ready = [] {
        if (!session_init(&s) || !envelope_startup() || !secure_link_open(&s)) return false;
        s.secure->mode = LinkMode::secure;
        for (int i = 0; i < 32; ++i) peer.send_key[i] = s.secure->channel.recv_key[i] = static_cast<std::uint8_t>(i);
        return true;
    }();
    if (!ready) __builtin_trap();
    if (size == 0) return 0;
    std::vector<std::uint8_t> record(size - 1 + kRecordOverhead);
    record.resize(seal_record(&peer, data[0], data + 1, size - 1, record.data()));
    Received r;
    secure_link_receive(&s, record.data(), record.size(), false, &r);
    for (const std::string& line : r.lines) {
        if (line.empty() || line.size() > kMaxChatLine) __builtin_trap();
    }
    return 0;
}
