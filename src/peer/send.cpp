#include "peer/send.h"

#include "platform/platform.h"
#include "relay/relay.h"
#include "session/session.h"
#include "sockets/sockets.h"

void send_to_peer(PeerSession* s, const void* data, std::size_t size, bool patiently) {
    if (relay_chosen(s)) {
        relay_send(s, data, size, peer_endpoint(s));
    } else if (patiently) {
        send_patiently(s->sockets.sock, data, size, peer_endpoint(s));
    } else {
        platform::send_to(s->sockets.sock, data, size, peer_endpoint(s));
    }
}
