// Feeds arbitrary datagrams to the TURN decoders, as a relay server's datagrams reach them. The
// first byte picks whether the credentials are challenged; the datagram's own id is expected, so
// most inputs get past the id check.
#include <cstdint>
#include <vector>

#include "peer/envelope.h"
#include "relay/turn.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool started = envelope_startup();
    if (!started || size < 1) return 0;
    static TurnCredentials credentials{"user", "password", "", {}, 0, {}, false};
    credentials.challenged = (data[0] & 1) != 0;
    // An exact-size copy, so a read past the datagram is caught.
    const std::vector<std::uint8_t> datagram(data + 1, data + size);
    const std::uint8_t* id = datagram.size() >= kStunHeaderSize ? datagram.data() + 8 : data;
    TurnResponse response{};
    if (turn_read_response(datagram.data(), datagram.size(), id, credentials, &response) &&
        response.nonce_size > sizeof response.nonce) {
        __builtin_trap();
    }
    platform::Endpoint peer{};
    const std::uint8_t* payload = nullptr;
    std::size_t payload_size = 0;
    for (const bool channel : {false, true}) {
        const bool read = channel ? turn_read_channel_data(datagram.data(), datagram.size(), &peer.port,
                                                          &payload, &payload_size)
                                  : turn_read_data(datagram.data(), datagram.size(), &peer, &payload,
                                                   &payload_size);
        if (read && payload + payload_size > datagram.data() + datagram.size()) __builtin_trap();
    }
    return 0;
}
