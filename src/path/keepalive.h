// Keeping the path open once it stands: keepalives, the peer's silence, and the timers of the
// secure session and the relay.
#pragma once

// Thread procedure; `arg` is the PeerSession. A keepalive at once, then one every 5 s, until
// `running` clears; says once when nothing has come from the peer for 15 s. Sleeps in between.
// Always returns 0.
int keepalive_loop(void* arg);
