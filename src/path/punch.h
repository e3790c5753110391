// Opening the path to the peer by simultaneous UDP hole punching.
#pragma once

#include <cstdint>

#include "address/address_text.h"

struct PeerSession;

// Starts the receiver, sends bursts of punches to the peer until datagrams have been arriving for
// two seconds (at least five in all), then starts the keepalive thread. With several endpoints of
// the peer's, every one is punched at once until then, and the path goes to the best that answers
// (peer/identity.h). False after 60 s without a path (reported here) or when `running` is cleared
// first (silently). The receiver thread is started in every case; stopping it is the caller's job.
bool connect_to_peer(PeerSession* session, const PeerLine& peer);

// One punch to each other endpoint of the peer's: whichever answers, the path may move there.
void punch_candidates(PeerSession* session);
