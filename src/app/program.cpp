#include "app/program.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/command_line.h"
#include "app/peer_entry.h"
#include "app/terminal_chat.h"
#include "sockets/sockets.h"
#include "path/punch.h"
#include "peer/protocol.h"
#include "secure/secure_link.h"
#include "platform/platform.h"
#include "portmap/portmap.h"
#include "relay/relay.h"
#include "address/address_text.h"
#include "session/session.h"
#include "bytes/wipe.h"
#include "stun/discovery.h"

namespace {

constexpr std::uint32_t kThreadWaitMs = 2000;
// At the end, lines still unconfirmed and a secure session still being agreed get this long.
constexpr std::uint32_t kFinishMs = 4000;
// What the rest of the shutdown may take, when the platform ends the process at a set time.
constexpr std::uint32_t kShutdownMs = 1000;
// A read holds one datagram's line and its terminator.
constexpr std::size_t kChatLineSize = kMaxChatLine + 1;

// Ctrl+C and its kin end the input, as "quit" does, and nothing else: the workers read the
// acknowledgements and resend through the wait for unconfirmed lines, and stop at shutdown.
void interrupt_session(void* context) {
    static_cast<PeerSession*>(context)->run.interrupted.store(true, std::memory_order_relaxed);
}

// How long lines still on their way may keep us: not at all once nothing can be received, and
// within what the platform leaves after an interrupt that it ends the process for.
std::uint32_t finish_limit(const PeerSession* s) {
    if (s->run.failed.load(std::memory_order_relaxed)) return 0;
    const std::uint32_t left = platform::interrupt_time_limit_ms();
    if (left == platform::kForever) return kFinishMs;
    return left > kShutdownMs ? std::min(kFinishMs, left - kShutdownMs) : 0;
}

// True when the thread has ended (or never started); its handle is released either way.
bool stop_thread(platform::Thread* thread) {
    const bool ended = platform::thread_wait(*thread, kThreadWaitMs);
    platform::thread_close(thread);
    return ended;
}

// Releases the secure link (if any), the waker and the lock, and the record itself.
void release_session(PeerSession* s) {
    secure_link_close(s);
    session_destroy(s);
    delete s;
}

// The relay's allocation, the socket and the socket library first, then the session.
void release_all(PeerSession* s) {
    portmap_release(s);
    relay_release(s);
    release_network(s);
    release_session(s);
}

// Stops both workers and the console writer, then releases what they use. A thread that does
// not end in time (the writer, stuck in a console that takes no output) keeps everything: the
// process ends right after this, and the record, its socket and its lock stay valid for as long
// as that thread can run.
void shut_down(PeerSession* s) {
    stop_running(s);
    const bool receiver_ended = stop_thread(&s->workers.receiver);
    const bool keepalive_ended = stop_thread(&s->workers.keepalive);
    const bool console_ended = console_stop(&s->console, kThreadWaitMs);
    platform::on_interrupt(nullptr, nullptr);
    if (receiver_ended && keepalive_ended && console_ended) release_all(s);
}

// Sends each typed line to the peer until "quit", the end of input, an interrupt or a receiver
// that cannot go on. A line too long for one datagram goes out in pieces cut between
// characters, never inside one; "quit" counts only as a whole line, never as a later piece.
void chat(PeerSession* s, std::FILE* in, bool no_color) {
    if (chat_at_terminal(s, in, no_color)) return;
    char line[kChatLineSize];
    std::size_t held = 0;   // bytes of a cut character that begin the next piece
    bool at_start = true;   // the next piece begins a line
    safe_print(&s->console, "> ");
    while (chat_goes_on(s)) {
        // Cleared first, so that only this read's end of line is found: a zero byte typed within
        // a line cuts its text short, not the line.
        std::memset(line + held, 0, sizeof line - held);
        if (!platform::read_line(in, line + held, sizeof line - held)) return;
        std::size_t n = held + std::strlen(line + held);
        const bool whole = std::memchr(line + held, '\n', sizeof line - held) != nullptr;
        if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
        if (at_start && std::strcmp(line, "quit") == 0) return;
        const std::size_t send = whole || n < sizeof line - 1 ? n : utf8_cut(line, n);
        if (send > 0) secure_link_send(s, line, send);
        held = n - send;
        std::memmove(line, line + send, held);
        at_start = whole;
        safe_print(&s->console, "> ");
    }
}

// The peer as the user gave it: a peer line, or an address and a port. Null, or why not.
const char* read_peer(const char* text, bool as_line, std::uint16_t port, PeerLine* peer) {
    if (as_line && !parse_peer_line(text, peer)) return "Invalid peer line\n";
    if (!as_line) {
        if (port == 0) return "Invalid port number\n";
        // Anything but one computer's address would have us punch at nobody for a minute.
        platform::Endpoint e{0, 0};
        if (!parse_address(text, &e) || !is_unicast(e)) return "Invalid IP address\n";
        e.port = port;
        *peer = PeerLine{{e}, 1};
    }
    if (platform::has_ipv6()) return nullptr;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < peer->count; ++i) {
        if (!peer->candidates[i].v6) peer->candidates[kept++] = peer->candidates[i];
    }
    peer->count = kept;
    return kept > 0 ? nullptr : "This computer has no IPv6: the peer's IPv6 address cannot be reached\n";
}

// -h, --help, --version, or words that ask for no chat natchat can have: the answer printed and the
// exit code in `code`. False when the words ask for a chat.
bool answered_alone(const CommandLine& command, bool understood, bool peer_line, int* code) {
    const char* program = command.words[0];
    if (understood && command.count == 2 && !peer_line && std::strcmp(command.words[1], "--version") == 0) {
        std::printf("natchat %s\n", NATCHAT_VERSION);
        *code = 0;
    } else if (understood && command.count == 2 && !peer_line) {
        const char* word = command.words[1];
        print_usage(program);
        *code = std::strcmp(word, "-h") == 0 || std::strcmp(word, "--help") == 0 ? 0 : 1;
    } else if (!understood || (command.count != 1 && command.count != 3 && !peer_line)) {
        print_usage(program);
        *code = 1;
    } else {
        return false;
    }
    std::fflush(stdout);
    return true;
}

// The session, its socket and what discovery found, and the relay when one was asked for. Null,
// having said why and released everything, when any of it fails.
PeerSession* start_session(const CommandLine& command) {
    // On the heap, so that it can outlive a worker thread that does not end (see shut_down).
    auto* s = new PeerSession;
    if (!session_init(s)) {
        std::printf("Could not set up the session\n");
        delete s;
        return nullptr;
    }
    if (!envelope_startup() || !secure_link_open(s)) {
        std::printf("Could not start the cryptographic library\n");
        release_session(s);
        return nullptr;
    }
    if (!init_network(s, command.port)) {
        std::fflush(stdout);
        release_session(s);
        return nullptr;
    }
    // The router is asked beside the STUN servers, whose view tells whether its mapping is worth
    // anything; without them nothing judges it.
    if (!command.no_stun && !command.no_portmap) portmap_start(s);
    if (command.no_stun) {
        find_local_endpoints(s);
    } else if (!discover_public_address(s, command.stun, command.stun_count)) {
        std::fflush(stdout);
        release_all(s);
        return nullptr;
    }
    portmap_settle(s);
    if (command.use_relay) relay_allocate(s, command.relay);
    std::fflush(stdout);
    return s;
}

// The peer as the command line gives it, or else as the user enters it at the connection
// screen. Null, or why it is refused.
const char* take_peer(PeerSession* s, const CommandLine& command, bool as_line, std::FILE* in, PeerLine* peer) {
    char peer_ip[kPeerIpSize] = {};
    std::uint16_t peer_port = 0;
    if (command.count != 1) {
        print_peer_line(s);  // for the peer, who may still need it
        // A word longer than any address or peer line is refused, not cut.
        if (std::strlen(command.words[1]) < sizeof peer_ip) std::strcpy(peer_ip, command.words[1]);
        if (command.count == 3) peer_port = parse_port_text(command.words[2]);
    } else {
        if (s->found.mapped.port != 0) format_address(s->found.mapped, peer_ip);
        peer_port = s->found.mapped.port;
        PeerEntry entry = prompt_peer_info(s, peer_ip, &peer_port, in);
        // At a terminal a typo is explained and asked again; Ctrl+D there ends without a word.
        for (;;) {
            if (entry.ended) return "";
            const char* refused = read_peer(peer_ip, entry.as_line, peer_port, peer);
            if (refused == nullptr || !entry.typed) return refused;
            std::printf("%s", refused);
            entry = ask_peer_info(s, peer_ip, &peer_port, in);
        }
    }
    return read_peer(peer_ip, as_line, peer_port, peer);
}

// At the end: what came from elsewhere, and what the peer's address sent unsealed.
void report_dropped(PeerSession* s) {
    const std::uint64_t strangers = s->run.strangers_dropped.load(std::memory_order_relaxed);
    if (strangers > 0) {
        safe_printf(&s->console, "\nIgnored %llu datagrams from other addresses\n", static_cast<unsigned long long>(strangers));
    }
    const std::uint64_t refused = secure_link_refused(s);
    if (refused > 0) {
        safe_printf(&s->console, "\nRefused %llu datagrams that the peer did not seal\n", static_cast<unsigned long long>(refused));
    }
}

// The chat with the peer once the path has opened, or why there is none; the exit code.
int converse(PeerSession* s, bool secure_only, const PeerLine& peer, std::FILE* in, bool no_color) {
    s->peer.secure_only = secure_only;
    int code = 0;
    const bool connected = connect_to_peer(s, peer);
    if (connected && secure_only && !secure_link_settle(s)) {
        // The link has said why; nothing was sent or shown in plain text.
        code = 1;
    } else if (connected) {
        chat(s, in, no_color);
        // Lines still on their way are given a moment, and the peer hears that we leave.
        secure_link_finish(s, finish_limit(s));
        report_dropped(s);
        safe_print(&s->console, "\nShutting down...\n");
        if (s->run.failed.load(std::memory_order_relaxed)) code = 1;
    } else {
        safe_print(&s->console, "\nConnection failed or interrupted\n");
        code = 1;
    }
    if (s->run.interrupted.load(std::memory_order_relaxed)) code = platform::interrupted_exit_code();
    return code;
}

// Everything a chat holds, from the session's start to the one shutdown; the exit code.
int run(CommandLine* command, bool peer_line, std::FILE* in) {
    PeerSession* s = start_session(*command);
    wipe(&command->relay, sizeof command->relay);  // the relay has its own copy, if any
    if (s == nullptr) return 1;
    // From here an interrupt ends the program through the one shutdown, which gives the router's
    // mapping back: at the prompts as in the chat.
    platform::on_interrupt(interrupt_session, s);
    PeerLine peer{};
    int code = 1;
    const char* refused = take_peer(s, *command, peer_line, in, &peer);
    if (s->run.interrupted.load(std::memory_order_relaxed)) {
        code = platform::interrupted_exit_code();
    } else if (refused != nullptr) {
        safe_print(&s->console, refused);
    } else if (console_start(&s->console)) {
        code = converse(s, command->secure_only, peer, in, command->no_color);
    }
    shut_down(s);
    return code;
}

}  // namespace

void print_usage(const char* program) {
    std::printf(
        "Usage: %s [peer_ip peer_port]\n\nUDP-based P2P communication through NAT\n\n"
        "Arguments (optional):\n  peer_ip    IP address of the peer\n"
        "  peer_port  Port number of the peer\n"
        "  or, as one argument, the peer line the peer's natchat shows (\"Your peer line:\"),\n"
        "  quoted: every address of the peer's, tried at once\n"
        "\nOptions:\n  --stun HOST[:PORT]  a STUN server to ask (port 3478 unless given); may be\n"
        "                     repeated, and replaces the default servers; an IPv6\n"
        "                     address with a port goes in brackets: [2001:db8::1]:3478\n"
        "  --turn USER:PASSWORD@HOST[:PORT]\n"
        "                     a TURN server to relay through when no direct path opens\n"
        "                     (port 3478 unless given)\n"
        "  --no-stun           ask no STUN server: for a chat on this LAN (or over IPv6)\n"
        "                     without the internet\n"
        "  --port N            our UDP port (both IPv4 and IPv6), so that an address or\n"
        "                     peer line given out stays good across restarts\n"
        "  --no-portmap        ask the router for no port mapping (NAT-PMP, PCP, UPnP)\n"
        "  --secure-only       never send or show plain text: a peer that offers no secure\n"
        "                     session ends the chat (exit code 1)\n"
        "  --no-color          no colour at a terminal (as NO_COLOR set does)\n"
        "  --version           print the program's version and end\n"
        "\nExamples:\n  %s\n"
        "    Start in interactive mode, enter peer info when prompted\n\n"
        "  %s 192.168.1.100 5000\n    Connect directly to peer at 192.168.1.100:5000\n\n"
        "After connection, type messages and press Enter to send.\nType 'quit' to exit.\n",
        program, program, program);
}

int natchat_main(int argc, char** argv, std::FILE* in) {
    platform::console_init();
    CommandLine command;
    const bool understood = read_command_line(argc, argv, &command);
    const bool peer_line = understood && command.count == 2 && looks_like_peer_line(command.words[1]);
    int code = 0;
    if (!answered_alone(command, understood, peer_line, &code)) code = run(&command, peer_line, in);
    wipe(&command.relay, sizeof command.relay);  // the password leaves memory on every way out
    return code;
}
