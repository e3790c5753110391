// Opening the path to the peer by simultaneous UDP hole punching, and keeping it open.
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

// Thread procedure; `arg` is the PeerSession. A keepalive at once, then one every 5 s, until
// `running` clears; says once when nothing has come from the peer for 15 s. Sleeps in between.
// Always returns 0.
int keepalive_loop(void* arg);
