#include "net/endpoint.h"

#include <cstdio>
#include <cstring>

#include "shared/address_text.h"
#include "platform/platform.h"
#include "shared/peer_session.h"

namespace {

// Enough to take in a pasted block of chat lines while the receiver is busy printing.
constexpr int kReceiveBufferBytes = 1 << 20;

constexpr std::size_t kMaxHostAddresses = 32;

constexpr int kSendAttempts = 100;
constexpr std::uint32_t kSendWaitMs = 10;

}  // namespace

bool pick_lan_address(const std::uint32_t* addresses, std::size_t count, char* out) {
    for (std::size_t i = 0; i < count; ++i) {
        char text[kIpv4TextSize];
        format_ipv4(addresses[i], text);
        if (std::strncmp(text, "127.", 4) != 0) {
            std::memcpy(out, text, sizeof text);
            return true;
        }
    }
    return false;
}

bool get_local_ip(char* out) {
    char name[256];
    std::uint32_t addresses[kMaxHostAddresses];
    std::size_t count = 0;
    return platform::host_name(name, sizeof name) &&
           platform::resolve_ipv4(name, addresses, kMaxHostAddresses, &count) &&
           pick_lan_address(addresses, count, out);
}

void send_patiently(platform::Socket sock, const void* data, std::size_t size,
                    platform::Endpoint to) {
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        if (platform::send_to(sock, data, size, to) != platform::SendStatus::would_block) return;
        platform::wait_writable(sock, kSendWaitMs);
    }
}

bool init_network(PeerSession* session) {
    if (!platform::net_startup()) {
        std::printf("WSAStartup failed\n");
        return false;
    }
    session->sock = platform::udp_open();
    if (session->sock == platform::kInvalidSocket) {
        std::printf("Socket creation failed\n");
        platform::net_cleanup();
        return false;
    }
    platform::set_nonblocking(session->sock);
    if (!platform::bind_any(session->sock)) {
        std::printf("Bind failed\n");
        platform::close_socket(session->sock);
        platform::net_cleanup();
        return false;
    }
    platform::set_receive_buffer(session->sock, kReceiveBufferBytes);

    std::uint16_t port = 0;
    platform::local_port(session->sock, &port);
    session->local_port = port;
    std::printf("Local port: %u\n", static_cast<unsigned>(session->local_port));

    if (get_local_ip(session->local_ip)) {
        std::printf("Local LAN IP: %s\n", session->local_ip);
    } else {
        std::snprintf(session->local_ip, sizeof session->local_ip, "unknown");
        std::printf("Could not determine local LAN IP\n");
    }
    return true;
}

void open_candidates(PeerSession* session) {
    platform::Socket* c = session->candidates;
    std::size_t n = 0;
    c[n++] = session->sock;
    while (n < kSpareSockets + 1) {
        const platform::Socket spare = platform::udp_open();
        if (spare == platform::kInvalidSocket) break;  // out of descriptors: punch with fewer
        if (!platform::set_nonblocking(spare) || !platform::bind_any(spare)) {
            platform::close_socket(spare);
            break;
        }
        c[n++] = spare;
    }
    session->candidate_count = n;
}

void close_candidates(PeerSession* session) {
    for (std::size_t i = 0; i < session->candidate_count; ++i) {
        if (session->candidates[i] != session->sock) platform::close_socket(session->candidates[i]);
    }
    session->candidate_count = 0;
}

void release_network(PeerSession* session) {
    close_candidates(session);
    platform::close_socket(session->sock);
    platform::net_cleanup();
}
