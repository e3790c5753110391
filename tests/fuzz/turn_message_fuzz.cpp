// Feeds arbitrary datagrams to the TURN decoders as a relay's datagrams reach them. The first
// byte says whether the credentials are challenged; the datagram's own id is the one expected.
#include <cstdint>
#include <vector>

#include "secure/envelope.h"
#include "relay/turn.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TurnCredentials c{"user", "password", "", {}, 0, {}, !envelope_startup()};
    if (size < 1) return 0;
    c.challenged = (data[0] & 1) != 0;
    const std::vector<std::uint8_t> d(data + 1, data + size);  // exact size: overreads are caught
    TurnResponse r{};
    turn_read_response(d.data(), d.size(), d.size() >= kStunHeaderSize ? d.data() + 8 : data, c, &r);
    platform::Endpoint peer{};
    const std::uint8_t* payload = nullptr;
    std::size_t n = 0;
    if ((turn_read_data(d.data(), d.size(), &peer, &payload, &n) ||
         turn_read_channel_data(d.data(), d.size(), &peer.port, &payload, &n)) && payload + n > d.data() + d.size()) {
        __builtin_trap();
    }
    return 0;
}
