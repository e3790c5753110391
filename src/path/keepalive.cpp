#include "path/keepalive.h"

#include <algorithm>

#include "console/events.h"
#include "path/punch.h"
#include "peer/identity.h"
#include "peer/protocol.h"
#include "platform/platform.h"
#include "portmap/portmap.h"
#include "peer/send.h"
#include "relay/relay.h"
#include "secure/secure_link.h"
#include "session/session.h"

namespace {

constexpr std::uint32_t kKeepaliveEveryMs = 5000;
// Three keepalives missed in a row: the peer has gone quiet.
constexpr std::uint32_t kSilentAfterMs = 3 * kKeepaliveEveryMs;

// Says once that the peer has gone quiet. The change and its notice go together under the
// console lock, as the receiver's do, so that a datagram that comes meanwhile is never taken for
// silence. Returns the milliseconds until the peer would count as silent.
std::uint32_t check_silence(PeerSession* s) {
    platform::lock_enter(&s->console.lock);
    const std::uint32_t quiet =
        platform::elapsed(platform::tick_ms(), s->run.last_heard.load(std::memory_order_relaxed));
    std::uint32_t due = platform::kForever;
    if (s->run.presence.load(std::memory_order_relaxed) == Presence::present) {
        if (quiet < kSilentAfterMs) {
            due = kSilentAfterMs - quiet;
        } else {
            s->run.presence.store(Presence::silent, std::memory_order_relaxed);
            tell_locked(&s->console, Event::peer_silent);
        }
    }
    platform::lock_leave(&s->console.lock);
    return due;
}

}  // namespace

int keepalive_loop(void* arg) {
    auto* s = static_cast<PeerSession*>(arg);
    std::uint32_t last_sent = platform::tick_ms();
    send_to_peer(s, kKeepalive, sizeof kKeepalive - 1, false);
    while (is_running(s)) {
        const std::uint32_t now = platform::tick_ms();
        if (platform::elapsed(now, last_sent) >= kKeepaliveEveryMs) {
            send_to_peer(s, kKeepalive, sizeof kKeepalive - 1, false);
            // The path has gone quiet: another of the peer's endpoints may still answer.
            if (platform::elapsed(now, s->peer.path_heard.load()) >= kPathQuietMs) punch_candidates(s);
            last_sent = now;
        }
        // Asleep until the next keepalive is due, the peer would count as silent, or the secure
        // session has something to send again.
        std::uint32_t wait =
            std::min(platform::left_of(kKeepaliveEveryMs, last_sent, now), check_silence(s));
        if (s->secure != nullptr) wait = std::min(wait, secure_link_tick(s));
        wait = std::min(wait, relay_tick(s));
        wait = std::min(wait, portmap_tick(s));
        if (platform::wait_stop(&s->run.wake, wait)) break;
    }
    return 0;
}
