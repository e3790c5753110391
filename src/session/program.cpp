#include "session/program.h"

#include <cstring>

#include "console/peer_entry.h"
#include "net/endpoint.h"
#include "shared/address_text.h"
#include "peer/link.h"
#include "platform/platform.h"
#include "shared/peer_session.h"
#include "stun/discovery.h"

namespace {

constexpr std::uint32_t kThreadWaitMs = 2000;
constexpr std::size_t kChatLineSize = 2048;

void stop_thread(platform::Thread* thread) {
    if (thread->handle == nullptr) return;
    platform::thread_wait(*thread, kThreadWaitMs);
    platform::thread_close(thread);
}

// Releases the socket, the socket library and the lock, in that order.
void release_all(PeerSession* s) {
    release_network(s);
    session_destroy(s);
}

// Clears `running` and lets both workers see it and end before anything they use goes away.
void shut_down(PeerSession* s) {
    s->running.store(false, std::memory_order_relaxed);
    stop_thread(&s->recv_thread);
    stop_thread(&s->keepalive_thread);
    release_all(s);
}

// Sends each typed line to the peer until "quit" or the end of input.
void chat(PeerSession* s, std::FILE* in) {
    char line[kChatLineSize];
    std::printf("> ");
    std::fflush(stdout);
    while (is_running(s)) {
        if (std::fgets(line, sizeof line, in) == nullptr) return;
        std::size_t n = std::strlen(line);
        if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
        if (std::strcmp(line, "quit") == 0) return;
        // A typed line is worth a short wait when the socket is busy; nothing else repeats it.
        if (n > 0) send_patiently(s->sock, line, n, s->peer_addr);
        std::printf("> ");
        std::fflush(stdout);
    }
}

}  // namespace

void print_usage(const char* program) {
    std::printf(
        "Usage: %s [peer_ip peer_port]\n\nUDP-based P2P communication through NAT\n\n"
        "Arguments (optional):\n  peer_ip    IP address of the peer\n"
        "  peer_port  Port number of the peer\n\nExamples:\n  %s\n"
        "    Start in interactive mode, enter peer info when prompted\n\n"
        "  %s 192.168.1.100 5000\n    Connect directly to peer at 192.168.1.100:5000\n\n"
        "After connection, type messages and press Enter to send.\nType 'quit' to exit.\n",
        program, program, program);
}

int natchat_main(int argc, char** argv, std::FILE* in, StunServer stun) {
    const char* program = argc > 0 ? argv[0] : "natchat";
    if (argc == 2) {
        const bool help = std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0;
        print_usage(program);
        std::fflush(stdout);
        return help ? 0 : 1;
    }
    if (argc != 1 && argc != 3) {
        print_usage(program);
        std::fflush(stdout);
        return 1;
    }

    PeerSession session;
    session_init(&session);
    if (!init_network(&session)) {
        std::fflush(stdout);
        session_destroy(&session);
        return 1;
    }
    if (!discover_public_address(stun, session.sock, session.public_ip, &session.public_port)) {
        std::fflush(stdout);
        release_all(&session);
        return 1;
    }

    char peer_ip[kPeerIpSize] = {};
    std::uint16_t peer_port = 0;
    bool address_fits = true;
    if (argc == 3) {
        address_fits = std::strlen(argv[1]) < kPeerIpSize;
        if (address_fits) std::memcpy(peer_ip, argv[1], std::strlen(argv[1]) + 1);
        peer_port = parse_port_text(argv[2]);
    } else {
        std::memcpy(peer_ip, session.public_ip, std::strlen(session.public_ip) + 1);
        peer_port = session.public_port;
        prompt_peer_info(&session, peer_ip, &peer_port, in);
    }

    if (peer_port == 0) {
        std::printf("Invalid port number\n");
        std::fflush(stdout);
        release_all(&session);
        return 1;
    }
    // Anything but a dotted quad would have us punch at 255.255.255.255 for a minute.
    std::uint32_t ip = 0;
    if (!address_fits || !parse_ipv4(peer_ip, &ip)) {
        std::printf("Invalid IP address\n");
        std::fflush(stdout);
        release_all(&session);
        return 1;
    }

    if (!connect_to_peer(&session, peer_ip, peer_port)) {
        std::printf("\nConnection failed or interrupted\n");
        std::fflush(stdout);
        shut_down(&session);
        return 1;
    }

    chat(&session, in);
    std::printf("\nShutting down...\n");
    std::fflush(stdout);
    shut_down(&session);
    return 0;
}
