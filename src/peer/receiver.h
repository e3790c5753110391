// The receiver thread: from the first punch on, the only reader of the socket.
#pragma once

// Thread procedure; `arg` is the PeerSession. Counts every non-empty datagram, answers punches
// to their sender, swallows acknowledgements and keepalives, and prints chat lines. Ends when
// `running` clears or on a receive error it cannot go on from. Always returns 0.
int receive_loop(void* arg);
