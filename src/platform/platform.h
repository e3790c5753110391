// The thin layer between natchat and the operating system: sockets, name lookup, threads, the one
// lock, ticks, sleep, wake-ups, the console and randomness. Two twins implement it, posix.cpp and
// win32.cpp; CMake compiles the one that fits the target. Nothing above this header sees errno, WSAGetLastError or
// an OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace platform {

// ---- sockets -----------------------------------------------------------------------------------

using Socket = std::uintptr_t;
inline constexpr Socket kInvalidSocket = ~Socket{0};

// An address and port: IPv4 in `ip` (host byte order), or, when `v6`, IPv6 in `ip6` (network
// byte order, `ip` 0). An IPv4 peer reached through an IPv6 socket is an IPv4 endpoint here.
struct Endpoint {
    std::uint32_t ip;
    std::uint16_t port;
    bool v6 = false;
    std::uint8_t ip6[16] = {};
};

// The first 12 bytes of an IPv4 address written as IPv6, ::ffff:a.b.c.d.
inline constexpr std::uint8_t kIpv4Mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

inline bool same_address(const Endpoint& a, const Endpoint& b) {
    return a.v6 == b.v6 && a.ip == b.ip && std::memcmp(a.ip6, b.ip6, sizeof a.ip6) == 0;
}
inline bool same_endpoint(const Endpoint& a, const Endpoint& b) {
    return same_address(a, b) && a.port == b.port;
}

// Receive outcomes, classified once where the call is made.
enum class RecvStatus {
    ok,              // a datagram of `bytes` bytes (0 for an empty one)
    would_block,     // nothing is waiting
    reset,           // an earlier datagram of ours was refused or expired on the way (ICMP)
    message_too_long,// the datagram did not fit; `bytes` holds the truncated length kept in the buffer
    other,           // anything else; `code` holds the platform's error number
};

struct RecvResult {
    RecvStatus status;
    std::size_t bytes;
    int code;
};

// Starts and ends the socket library (a no-op on POSIX).
bool net_startup();
void net_cleanup();

// Whether this computer speaks IPv6: then every socket udp_open makes is an IPv6 one that serves
// IPv4 as well (dual-stack); else they are IPv4 only. Decided once, at the first call.
bool has_ipv6();

Socket udp_open();
bool set_nonblocking(Socket s);
enum class BindStatus { ok, in_use, failed };
// Binds to every local address, at `port` (0: one the system picks).
BindStatus bind_any(Socket s, std::uint16_t port = 0);
// The local address this computer sends from toward `to` (either family), as routing picks it;
// nothing is sent. The port of `source` is 0.
bool source_ip_toward(const Endpoint& to, Endpoint* source);
// The IPv4 next hop of the default route: the router that may map ports for us. Port 0.
bool default_gateway(Endpoint* gateway);
// The locally bound port; false leaves `port` alone.
bool local_port(Socket s, std::uint16_t* port);
// Asks the kernel for a receive buffer of about `bytes`; it may grant less.
void set_receive_buffer(Socket s, int bytes);
void close_socket(Socket s);

enum class SendStatus {
    ok,
    would_block,  // the socket cannot take the datagram just now
    failed,
};

// Sends one datagram.
SendStatus send_to(Socket s, const void* data, std::size_t size, Endpoint to);
RecvResult recv_from(Socket s, void* buffer, std::size_t capacity, Endpoint* from);
// Waits at most `timeout_ms` until the socket is readable (or writable); true when it is.
bool wait_readable(Socket s, std::uint32_t timeout_ms);
bool wait_writable(Socket s, std::uint32_t timeout_ms);

// ---- waking a sleeping worker ------------------------------------------------------------------

// A stop signal that worker threads sleep on: once signalled it stays signalled. Signalling is
// safe from a POSIX signal handler. A nudge wakes the thread sleeping in wait_stop once, so that
// it looks at its deadlines again.
struct Waker {
    std::intptr_t handles[4];  // POSIX: two pipes; Windows: events (stop, socket, nudge)
};

inline constexpr std::uint32_t kForever = 0xFFFFFFFF;

bool waker_open(Waker* waker);
void waker_signal(Waker* waker);
void waker_nudge(Waker* waker);
void waker_close(Waker* waker);

// The most sockets one wait_for_datagram watches.
inline constexpr std::size_t kMaxWaitSockets = 260;

// Sleeps until one of the `count` sockets has a datagram (true) or the waker is signalled
// (false). Only one thread may wait on a socket this way.
bool wait_for_datagram(const Socket* sockets, std::size_t count, Waker* waker);

// Sleeps until the waker is signalled (true), or until `timeout_ms` of the clock's time pass or a
// nudge comes (false).
bool wait_stop(Waker* waker, std::uint32_t timeout_ms);

// ---- names -------------------------------------------------------------------------------------

// The addresses of both families a host name resolves to (ports 0), in the resolver's order,
// without repeats; false when the name does not resolve.
bool resolve_addresses(const char* name, Endpoint* addresses, std::size_t capacity,
                       std::size_t* count);

// Room for the longest IPv6 text and its terminator.
inline constexpr std::size_t kIpv6TextSize = 46;

// IPv6 text as the system reads and writes it (RFC 4291, written as RFC 5952 says); no zone.
bool parse_ipv6(const char* text, std::uint8_t out[16]);
void format_ipv6(const std::uint8_t address[16], char out[kIpv6TextSize]);

// ---- threads and the lock ----------------------------------------------------------------------

using ThreadProc = int (*)(void* arg);

// A started thread; `handle` is null when none was started.
struct Thread {
    void* handle;
};

bool thread_start(Thread* thread, ThreadProc proc, void* arg);
// Waits at most `timeout_ms` for the thread to end; true when it has ended.
bool thread_wait(Thread thread, std::uint32_t timeout_ms);
// Releases the handle. A thread that has not ended is left to end with the process.
void thread_close(Thread* thread);

// Storage for the platform's mutex (a CRITICAL_SECTION or a pthread mutex), kept opaque here so
// that no OS header leaks into the rest of the program.
struct Lock {
    alignas(16) unsigned char storage[64];
};

void lock_init(Lock* lock);
void lock_enter(Lock* lock);
void lock_leave(Lock* lock);
void lock_destroy(Lock* lock);

// ---- the console and interrupts ----------------------------------------------------------------

// Readies the standard streams before anything else opens a descriptor. POSIX: descriptors 0 to
// 2 that are closed are opened on /dev/null. Windows: the console shows UTF-8 (its code pages
// come back at exit) and piped standard input is read byte for byte (binary mode).
void console_init();

// Writes all of `data` to standard output past the C library's buffer (flush that first), waiting
// while the output takes nothing. False when it cannot be written at all.
bool write_out(const char* data, std::size_t size);

// Reads one line as fgets does: up to `size - 1` bytes, through the line feed when it fits. Text
// typed at a Windows console arrives as UTF-8 with "\n" line ends; anything else byte for byte.
// False at the end of input, on an error, or once an interrupt has come.
bool read_line(std::FILE* in, char* buffer, std::size_t size);

// Ctrl+C, SIGTERM, SIGHUP or closing the console window call `handler(context)` and make a
// pending read_line return false. On POSIX the handler runs in a signal handler: it may only
// store to lock-free atomics and signal a waker. Install before worker threads start.
void on_interrupt(void (*handler)(void* context), void* context);

// The exit code this platform expects of a program ended by the interrupt that came.
int interrupted_exit_code();

// How long after the interrupt that came the platform lets the process run before it ends it
// itself (Windows, for a console closed or a session ending); kForever when it waits.
std::uint32_t interrupt_time_limit_ms();

// From any thread: the pending read_line of the thread that installed on_interrupt, and every
// later one, return false, as after an interrupt. A worker that cannot go on ends the chat so.
void end_input();

// ---- the terminal ------------------------------------------------------------------------------

// When standard input and output are both a terminal (a console of Windows 10 or later, which
// takes escape sequences): keys come raw from now on, as read_keys hands them, and a paste comes
// between bracketed-paste markers where the terminal sends them. False, nothing changed, elsewhere.
bool terminal_begin();
// Gives the terminal back as it was; again is harmless. At exit and on a fatal signal too.
void terminal_end();
// The terminal's columns; 80 when it does not say.
int terminal_width();
// Waits for keys: `*got` bytes of them in `buffer`, as a terminal of escape sequences sends them,
// or `*resized` when the window changed size. False at the end of input, on an error, once an
// interrupt came or end_input was called.
bool read_keys(char* buffer, std::size_t capacity, std::size_t* got, bool* resized);

// ---- time, randomness --------------------------------------------------------------------------

// Milliseconds from an arbitrary start; wraps at 2^32. Differences are taken unsigned.
std::uint32_t tick_ms();
void sleep_ms(std::uint32_t ms);

// Milliseconds from `since` to `now`, across the wrap.
inline std::uint32_t elapsed(std::uint32_t now, std::uint32_t since) { return now - since; }
// Milliseconds left of `span` that began at `since`; 0 once it has passed.
inline std::uint32_t left_of(std::uint32_t span, std::uint32_t since, std::uint32_t now) {
    const std::uint32_t gone = elapsed(now, since);
    return gone < span ? span - gone : 0;
}

// Fills `out` from the operating system's cryptographic random source; false if it failed.
bool random_bytes(void* out, std::size_t size);

// Tests run the punching and keepalive loops in simulated time: while a clock is installed,
// tick_ms() and sleep_ms() go to it instead of the system. Install before threads start.
struct Clock {
    std::uint32_t (*now)(void* context);
    void (*sleep)(void* context, std::uint32_t ms);
    void* context;
};
void set_clock(const Clock* clock);  // nullptr restores the system clock

}  // namespace platform
