#include "sockets/sockets.h"

#include <cstdio>
#include <cstring>

#include "address/address_text.h"
#include "console/events.h"
#include "platform/platform.h"
#include "session/session.h"

namespace {

// Enough to take in a pasted block of chat lines while the receiver is busy printing.
constexpr int kReceiveBufferBytes = 1 << 20;

constexpr int kSendAttempts = 100;
constexpr std::uint32_t kSendWaitMs = 10;

}  // namespace

void report_lan_address(PeerSession* session, const platform::Endpoint* toward) {
    platform::Endpoint source{0, 0};
    // Routing toward a server on this computer tells nothing of the LAN.
    if (toward != nullptr && platform::source_ip_toward(*toward, &source) && !source.v6 &&
        source.ip >> 24 != 127) {
        session->found.lan.ip = source.ip;
        tell(&session->console, Event::lan_address, {.at = source});
    } else {
        session->found.lan.ip = 0;
        tell(&session->console, Event::lan_unknown);
    }
}

void send_patiently(platform::Socket sock, const void* data, std::size_t size,
                    platform::Endpoint to) {
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        if (platform::send_to(sock, data, size, to) != platform::SendStatus::would_block) return;
        platform::wait_writable(sock, kSendWaitMs);
    }
}

bool init_network(PeerSession* session, std::uint16_t port) {
    if (!platform::net_startup()) {
        tell(&session->console, Event::socket_library_failed);
        return false;
    }
    session->sockets.sock = platform::udp_open();
    if (session->sockets.sock == platform::kInvalidSocket) {
        tell(&session->console, Event::socket_failed);
        platform::net_cleanup();
        return false;
    }
    platform::set_nonblocking(session->sockets.sock);
    const platform::BindStatus bound = platform::bind_any(session->sockets.sock, port);
    if (bound != platform::BindStatus::ok) {
        if (bound == platform::BindStatus::in_use) {
            tell(&session->console, Event::port_in_use, {.number = port});
        } else {
            tell(&session->console, Event::bind_failed);
        }
        platform::close_socket(session->sockets.sock);
        platform::net_cleanup();
        return false;
    }
    platform::set_receive_buffer(session->sockets.sock, kReceiveBufferBytes);

    platform::local_port(session->sockets.sock, &port);
    session->found.lan.port = port;
    tell(&session->console, Event::local_port, {.number = port});
    return true;
}

void open_candidates(PeerSession* session) {
    platform::Socket* c = session->sockets.candidates;
    std::size_t n = 0;
    c[n++] = session->sockets.sock;
    while (n < kSpareSockets + 1) {
        const platform::Socket spare = platform::udp_open();
        if (spare == platform::kInvalidSocket) break;  // out of descriptors: punch with fewer
        if (!platform::set_nonblocking(spare) || platform::bind_any(spare) != platform::BindStatus::ok) {
            platform::close_socket(spare);
            break;
        }
        c[n++] = spare;
    }
    session->sockets.candidate_count = n;
}

void close_candidates(PeerSession* session) {
    for (std::size_t i = 0; i < session->sockets.candidate_count; ++i) {
        const platform::Socket c = session->sockets.candidates[i];
        if (c != session->sockets.sock && c != session->relay_sock) platform::close_socket(c);
    }
    session->sockets.candidate_count = 0;
}

void release_network(PeerSession* session) {
    close_candidates(session);
    if (session->relay_sock != platform::kInvalidSocket && session->relay_sock != session->sockets.sock) {
        platform::close_socket(session->relay_sock);
    }
    platform::close_socket(session->sockets.sock);
    platform::net_cleanup();
}
