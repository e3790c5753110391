#include "peer/receiver.h"

#include <algorithm>
#include <cstdio>

#include "peer/protocol.h"
#include "peer/secure_link.h"
#include "platform/platform.h"
#include "shared/peer_session.h"

namespace {

constexpr char kDisplayFormat[] = "\n[Peer]: %s\n> ";
// The framing of kDisplayFormat (all but its "%s") around the longest line, and the terminator.
constexpr std::size_t kDisplaySize = sizeof kDisplayFormat - 2 + kMaxChatLine;

constexpr char kLeftNotice[] = "\n[The peer has left the chat]\n> ";
constexpr char kBackNotice[] = "\n[The peer is back]\n> ";

// The STUN magic cookie, which stands at byte 4 of every STUN message.
constexpr std::uint8_t kStunCookie[] = {0x21, 0x12, 0xA4, 0x42};

bool same_endpoint(platform::Endpoint a, platform::Endpoint b) {
    return a.ip == b.ip && a.port == b.port;
}

// Only the peer is heard. Its NAT may give it another port, so its address counts, whatever the
// port; a second answer of the STUN server is no chat line, even when the peer sits there too.
bool from_peer(const PeerSession* s, const std::uint8_t* data, std::size_t size,
               platform::Endpoint from) {
    if (from.ip != s->peer_addr.ip) return false;
    return !(size >= 8 && same_endpoint(from, s->stun_server) && data[4] == kStunCookie[0] &&
             data[5] == kStunCookie[1] && data[6] == kStunCookie[2] && data[7] == kStunCookie[3]);
}

// What the user is told about the peer changes under the console lock, with its notice.
void announce_left(PeerSession* s) {
    platform::lock_enter(&s->console_lock);
    if (s->presence.exchange(Presence::left) != Presence::left) console_write(kLeftNotice);
    platform::lock_leave(&s->console_lock);
}

// A peer that has left stays gone: what still comes from it was on its way before its bye.
void note_heard(PeerSession* s) {
    platform::lock_enter(&s->console_lock);
    s->last_heard.store(platform::tick_ms(), std::memory_order_relaxed);
    Presence silent = Presence::silent;
    if (s->presence.compare_exchange_strong(silent, Presence::present)) console_write(kBackNotice);
    platform::lock_leave(&s->console_lock);
}

void handle_datagram(PeerSession* s, const std::uint8_t* data, std::size_t size,
                     platform::Endpoint from) {
    if (!from_peer(s, data, size, from)) {
        s->strangers_dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    s->packets_received.fetch_add(1, std::memory_order_relaxed);
    bool left = false;
    const bool secure = s->secure != nullptr && secure_link_receive(s, data, size, &left);
    const DatagramKind kind = classify_datagram(data, size);
    if (left || (!secure && kind == DatagramKind::bye)) return announce_left(s);
    note_heard(s);
    if (secure) return;
    switch (kind) {
        case DatagramKind::punch:
            platform::send_to(s->sock, kPunchAck, sizeof kPunchAck - 1, from);
            return;
        case DatagramKind::chat:
            show_peer_line(s, data, std::min(size, kMaxChatLine));
            return;
        default:
            return;
    }
}

}  // namespace

void show_peer_line(PeerSession* s, const std::uint8_t* data, std::size_t size) {
    if (!s->connected.exchange(true, std::memory_order_relaxed)) {
        safe_print(s, "\n[Connection established!]\n> ");
    }
    char text[kMaxChatLine + 1];
    sanitize_for_display(data, size, text);
    char display[kDisplaySize];
    std::snprintf(display, sizeof display, kDisplayFormat, text);
    safe_print(s, display);
}

int receive_loop(void* arg) {
    auto* s = static_cast<PeerSession*>(arg);
    // Room for a sealed line; a plain one is shown as its first kMaxChatLine bytes.
    std::uint8_t buffer[4096];
    while (is_running(s)) {
        platform::Endpoint from{0, 0};
        const platform::RecvResult r = platform::recv_from(s->sock, buffer, sizeof buffer, &from);
        switch (r.status) {
            case platform::RecvStatus::ok:
            case platform::RecvStatus::message_too_long:  // kept as its first bytes
                // Drain everything that is queued before waiting again, so a pasted block of
                // lines does not overflow the socket's buffer.
                if (r.bytes > 0) handle_datagram(s, buffer, r.bytes, from);
                break;
            case platform::RecvStatus::reset:
                // A punch of ours refused by a closed port says nothing about the path; go on.
                break;
            case platform::RecvStatus::would_block:
                // Asleep until a datagram comes or the program stops: no time-out, no polling.
                if (!platform::wait_for_datagram(s->sock, &s->wake)) return 0;
                break;
            case platform::RecvStatus::other:
                if (is_running(s)) {
                    char line[64];
                    std::snprintf(line, sizeof line, "\nReceive error: %d\n", r.code);
                    safe_print(s, line);
                }
                return 0;
        }
    }
    return 0;
}
