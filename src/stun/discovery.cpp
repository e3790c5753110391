#include "stun/discovery.h"

#include <cstdio>

#include "stun/binding.h"

namespace {

constexpr int kAttempts = 5;
constexpr std::uint32_t kAnswerWaitMs = 2000;

// One attempt's answer: a datagram from the server that arrives within the wait and decodes.
bool receive_answer(platform::Socket sock, platform::Endpoint server,
                    const std::uint8_t id[kTransactionIdSize], char* public_ip,
                    std::uint16_t* public_port) {
    if (!platform::wait_readable(sock, kAnswerWaitMs)) return false;
    std::uint8_t buffer[2048];
    platform::Endpoint from{0, 0};
    platform::RecvResult r = platform::recv_from(sock, buffer, sizeof buffer, &from);
    // An oversized datagram is no answer of ours; the decoder refuses anything else that is none.
    if (r.status != platform::RecvStatus::ok) return false;
    if (from.ip != server.ip || from.port != server.port) return false;
    return parse_binding_response(buffer, static_cast<std::int32_t>(r.bytes), id, public_ip,
                                  public_port);
}

}  // namespace

bool discover_public_address(StunServer server, platform::Socket sock, char* public_ip,
                             std::uint16_t* public_port, platform::Endpoint* answered_by) {
    std::printf("Discovering external address via STUN...\n");
    std::fflush(stdout);  // the wait that follows can take seconds
    std::uint32_t address = 0;
    std::size_t count = 0;
    if (!platform::resolve_ipv4(server.host, &address, 1, &count)) {
        std::printf("Failed to resolve STUN server\n");
        return false;
    }
    const platform::Endpoint to{address, server.port};

    std::uint8_t request[kStunHeaderSize];
    std::int32_t length = 0;
    std::uint8_t id[kTransactionIdSize];
    if (!build_binding_request(request, &length, id)) {
        std::printf("Failed to discover external address\n");
        return false;
    }

    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        platform::send_to(sock, request, static_cast<std::size_t>(length), to);
        if (receive_answer(sock, to, id, public_ip, public_port)) {
            *answered_by = to;
            std::printf("External address: %s:%u\n", public_ip, static_cast<unsigned>(*public_port));
            return true;
        }
        if (attempt < kAttempts) {
            std::printf("STUN attempt %d failed, retrying...\n", attempt);
            std::fflush(stdout);
        }
    }
    std::printf("Failed to discover external address\n");
    return false;
}
