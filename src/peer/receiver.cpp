#include "peer/receiver.h"

#include <cstdio>

#include "peer/protocol.h"
#include "platform/platform.h"
#include "shared/peer_session.h"

namespace {

// Long enough to notice a cleared `running` quickly, short enough not to spin.
constexpr std::uint32_t kIdleWaitMs = 10;

constexpr char kDisplayFormat[] = "\n[Peer]: %s\n> ";
// Framing of kDisplayFormat (12 characters) around the longest line, and the terminator.
constexpr std::size_t kDisplaySize = 12 + kMaxChatLine + 1;

void show_chat_line(PeerSession* s, const std::uint8_t* data, std::size_t size) {
    if (!s->connected.exchange(true, std::memory_order_relaxed)) {
        safe_print(s, "\n[Connection established!]\n> ");
    }
    char text[kMaxChatLine + 1];
    sanitize_for_display(data, size, text);
    char display[kDisplaySize];
    std::snprintf(display, sizeof display, kDisplayFormat, text);
    safe_print(s, display);
}

void handle_datagram(PeerSession* s, const std::uint8_t* data, std::size_t size,
                     platform::Endpoint from) {
    s->packets_received.fetch_add(1, std::memory_order_relaxed);
    switch (classify_datagram(data, size)) {
        case DatagramKind::keepalive:
        case DatagramKind::punch_ack:
            return;
        case DatagramKind::punch:
            platform::send_to(s->sock, kPunchAck, sizeof kPunchAck - 1, from);
            return;
        case DatagramKind::chat:
            show_chat_line(s, data, size);
            return;
    }
}

}  // namespace

int receive_loop(void* arg) {
    auto* s = static_cast<PeerSession*>(arg);
    std::uint8_t buffer[kMaxChatLine];
    while (is_running(s)) {
        platform::Endpoint from{0, 0};
        const platform::RecvResult r = platform::recv_from(s->sock, buffer, sizeof buffer, &from);
        switch (r.status) {
            case platform::RecvStatus::ok:
            case platform::RecvStatus::message_too_long:  // kept as its first 2047 bytes
                // Drain everything that is queued before waiting again, so a pasted block of
                // lines does not overflow the socket's buffer.
                if (r.bytes > 0) handle_datagram(s, buffer, r.bytes, from);
                break;
            case platform::RecvStatus::reset:
                // A punch of ours refused by a closed port says nothing about the path; go on.
            case platform::RecvStatus::would_block:
                // Wakes as soon as a datagram arrives; the limit bounds how late a cleared
                // `running` is seen.
                platform::wait_readable(s->sock, kIdleWaitMs);
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
