// The Win32 twin of the platform layer: Windows Sockets 2 and the kernel's threads, critical
// section and tick counter.

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/console_text.h"
#include "platform/socket_headers.h"
#include "platform/system_clock.h"

#include <bcrypt.h>  // after windows.h, whose types it uses
#include <iphlpapi.h>

namespace platform {

bool net_startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void net_cleanup() { WSACleanup(); }

void close_os_socket(OsSocket s) { ::closesocket(s); }

bool set_nonblocking(Socket s) {
    u_long on = 1;
    return ioctlsocket(os_socket(s), FIONBIO, &on) == 0;
}

BindStatus bind_any(Socket s, std::uint16_t port) {
    // Exclusive, as a POSIX socket is: else Windows lets another program take the same port.
    BOOL exclusive = TRUE;
    ::setsockopt(os_socket(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof exclusive);
    SocketAddress a = wildcard_sockaddr(port);
    if (::bind(os_socket(s), a.get(), a.size) != SOCKET_ERROR) return BindStatus::ok;
    const int error = WSAGetLastError();
    return error == WSAEADDRINUSE || error == WSAEACCES ? BindStatus::in_use : BindStatus::failed;
}

SendStatus send_to(Socket s, const void* data, std::size_t size, Endpoint to) {
    SocketAddress a = to_sockaddr(to, socket_family());
    if (::sendto(os_socket(s), static_cast<const char*>(data), static_cast<int>(size), 0, a.get(),
                 a.size) != SOCKET_ERROR) {
        return SendStatus::ok;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? SendStatus::would_block : SendStatus::failed;
}

RecvResult recv_from(Socket s, void* buffer, std::size_t capacity, Endpoint* from) {
    SocketAddress a = any_sockaddr();
    int n = ::recvfrom(os_socket(s), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                       a.get(), &a.size);
    if (n == SOCKET_ERROR) {
        int e = WSAGetLastError();
        switch (e) {
            case WSAEWOULDBLOCK: return {RecvStatus::would_block, 0, e};
            // A datagram of ours refused (port unreachable) or expired on the way (time
            // exceeded): the path may still work, and anyone can forge the ICMP behind it.
            case WSAECONNRESET:
            case WSAENETRESET: return {RecvStatus::reset, 0, e};
            // Winsock fills the buffer with the datagram's first bytes and drops the rest.
            case WSAEMSGSIZE:
                if (from != nullptr) *from = from_sockaddr(a);
                return {RecvStatus::message_too_long, capacity, e};
            default: return {RecvStatus::other, 0, e};
        }
    }
    if (from != nullptr) *from = from_sockaddr(a);
    return {RecvStatus::ok, static_cast<std::size_t>(n), 0};
}

static bool wait_for(Socket s, bool write, std::uint32_t timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(os_socket(s), &set);
    timeval timeout{static_cast<long>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000) * 1000};
    return ::select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &timeout) > 0;
}

bool system_wait_readable(Socket s, std::uint32_t timeout_ms) { return wait_for(s, false, timeout_ms); }
bool wait_writable(Socket s, std::uint32_t timeout_ms) { return wait_for(s, true, timeout_ms); }

namespace {

HANDLE stop_event(const Waker* w) { return reinterpret_cast<HANDLE>(w->handles[0]); }
WSAEVENT socket_event(const Waker* w) { return reinterpret_cast<WSAEVENT>(w->handles[1]); }
HANDLE nudge_event(const Waker* w) { return reinterpret_cast<HANDLE>(w->handles[2]); }
DWORD wait_time(std::uint32_t ms) { return ms == kForever ? INFINITE : ms; }

}  // namespace

bool waker_open(Waker* waker) {
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WSAEVENT readable = WSACreateEvent();
    HANDLE nudge = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    waker->handles[0] = reinterpret_cast<std::intptr_t>(stop);
    waker->handles[1] = reinterpret_cast<std::intptr_t>(readable);
    waker->handles[2] = reinterpret_cast<std::intptr_t>(nudge);
    waker->handles[3] = 0;
    if (stop != nullptr && readable != WSA_INVALID_EVENT && nudge != nullptr) return true;
    waker_close(waker);
    return false;
}

void waker_signal(Waker* waker) { SetEvent(stop_event(waker)); }

void waker_nudge(Waker* waker) { SetEvent(nudge_event(waker)); }

void waker_close(Waker* waker) {
    if (stop_event(waker) != nullptr) CloseHandle(stop_event(waker));
    if (socket_event(waker) != WSA_INVALID_EVENT) WSACloseEvent(socket_event(waker));
    if (nudge_event(waker) != nullptr) CloseHandle(nudge_event(waker));
}

bool wait_for_datagram(const Socket* sockets, std::size_t count, Waker* waker) {
    // One event serves every socket. Selecting afresh records FD_READ at once when a datagram is
    // already queued.
    WSAResetEvent(socket_event(waker));
    count = std::min(count, kMaxWaitSockets);
    for (std::size_t i = 0; i < count; ++i) {
        WSAEventSelect(os_socket(sockets[i]), socket_event(waker), FD_READ);
    }
    HANDLE both[2] = {stop_event(waker), socket_event(waker)};
    return WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0;
}

Woken system_wait_stop(Waker* waker, std::uint32_t ms) {
    HANDLE both[2] = {stop_event(waker), nudge_event(waker)};  // the nudge resets itself
    const DWORD woken = WaitForMultipleObjects(2, both, FALSE, wait_time(ms));
    if (woken == WAIT_OBJECT_0) return Woken::stop;
    return woken == WAIT_OBJECT_0 + 1 ? Woken::nudge : Woken::time;
}

namespace {

struct StartBlock {
    ThreadProc proc;
    void* arg;
};

DWORD WINAPI thread_main(LPVOID p) {
    StartBlock start = *static_cast<StartBlock*>(p);
    delete static_cast<StartBlock*>(p);
    return static_cast<DWORD>(start.proc(start.arg));
}

}  // namespace

bool thread_start(Thread* thread, ThreadProc proc, void* arg) {
    auto* start = new (std::nothrow) StartBlock{proc, arg};
    if (start == nullptr) return false;
    HANDLE h = CreateThread(nullptr, 0, thread_main, start, 0, nullptr);
    if (h == nullptr) {
        delete start;
        return false;
    }
    thread->handle = h;
    return true;
}

bool thread_wait(Thread thread, std::uint32_t timeout_ms) {
    if (thread.handle == nullptr) return true;
    return WaitForSingleObject(static_cast<HANDLE>(thread.handle), timeout_ms) == WAIT_OBJECT_0;
}

void thread_close(Thread* thread) {
    if (thread->handle == nullptr) return;
    CloseHandle(static_cast<HANDLE>(thread->handle));
    thread->handle = nullptr;
}

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Lock::storage));
static_assert(alignof(CRITICAL_SECTION) <= alignof(Lock));

static CRITICAL_SECTION* section_of(Lock* lock) {
    return reinterpret_cast<CRITICAL_SECTION*>(lock->storage);
}

void lock_init(Lock* lock) { InitializeCriticalSection(new (lock->storage) CRITICAL_SECTION); }
void lock_enter(Lock* lock) { EnterCriticalSection(section_of(lock)); }
void lock_leave(Lock* lock) { LeaveCriticalSection(section_of(lock)); }
void lock_destroy(Lock* lock) { DeleteCriticalSection(section_of(lock)); }

std::uint32_t system_tick_ms() { return static_cast<std::uint32_t>(GetTickCount()); }

void system_sleep_ms(std::uint32_t ms) { Sleep(ms); }

namespace {

UINT input_code_page = 0, output_code_page = 0;  // as natchat found them; 0 without a console

void restore_code_pages() {
    if (input_code_page != 0) SetConsoleCP(input_code_page);
    if (output_code_page != 0) SetConsoleOutputCP(output_code_page);
}

// Last in the chain of console handlers: an interrupt that ends the process at once (before
// natchat's own handler is there, as at the prompts, or after it has gone) leaves the console as
// it was found.
BOOL WINAPI restore_before_exit(DWORD) {
    terminal_end();
    restore_code_pages();
    return FALSE;
}

}  // namespace

// Through the C library's descriptor, which ends lines as its stream does (CR LF in text mode).
bool write_out(const char* data, std::size_t size) {
    while (size > 0) {
        const int n = _write(1, data, static_cast<unsigned>(std::min<std::size_t>(size, 1 << 16)));
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void console_init() {
    static bool done = false;
    if (done) return;
    done = true;
    DWORD mode = 0;
    // Pipes and files pass byte for byte: text mode would end them at 0x1A and drop CRs.
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) && _fileno(stdin) >= 0) {
        _setmode(_fileno(stdin), _O_BINARY);
    }
    input_code_page = GetConsoleCP();
    output_code_page = GetConsoleOutputCP();
    if (output_code_page == 0) return;
    SetConsoleOutputCP(CP_UTF8);
    std::atexit(restore_code_pages);
    SetConsoleCtrlHandler(restore_before_exit, TRUE);
}

void console_lines_add(ConsoleLines* lines, const wchar_t* units, std::size_t count) {
    if (lines->ended) return;
    std::wstring& partial = lines->partial;
    partial.append(units, count);
    for (std::size_t end; (end = partial.find(L'\n')) != std::wstring::npos;
         partial.erase(0, end + 1)) {
        const std::size_t length = end > 0 && partial[end - 1] == L'\r' ? end - 1 : end;
        if (length == 1 && partial[0] == 0x1A) {  // Ctrl+Z on a line of its own
            lines->ended = true;
            partial.clear();
            return;
        }
        const int wide = static_cast<int>(length);
        const int n = WideCharToMultiByte(CP_UTF8, 0, partial.data(), wide, nullptr, 0, nullptr,
                                          nullptr);  // 0 for an empty line
        if (n > 0) {
            const std::size_t at = lines->ready.size();
            lines->ready.resize(at + static_cast<std::size_t>(n));
            WideCharToMultiByte(CP_UTF8, 0, partial.data(), wide, lines->ready.data() + at, n,
                                nullptr, nullptr);
        }
        lines->ready += '\n';
    }
}

bool console_lines_take(ConsoleLines* lines, char* buffer, std::size_t size) {
    std::string& ready = lines->ready;
    if (ready.empty() || size == 0) return false;
    const std::size_t line_end = ready.find('\n');  // every line in `ready` has its end
    const std::size_t n = std::min(line_end + 1, size - 1);
    std::memcpy(buffer, ready.data(), n);
    buffer[n] = '\0';
    ready.erase(0, n);
    return true;
}

namespace {

// Windows ends the process once the handler returns from a close, logoff or shutdown event, and
// gives it about 5 s at most.
constexpr DWORD kCloseWaitMs = 4500;

volatile LONG interrupt_type = -1;
volatile LONG input_ended = 0;  // end_input came
void (*interrupt_handler)(void*) = nullptr;
void* interrupt_context = nullptr;
HANDLE main_thread = nullptr;
ConsoleLines console_lines;  // typed and not yet handed out
// Set while the main thread is in read_line, where it looks for an interrupt before it reads.
volatile LONG reading = 0;

bool interrupted() { return interrupt_type != -1 || input_ended != 0; }

HANDLE input_cut = CreateEventW(nullptr, TRUE, FALSE, nullptr);

bool closing(LONG type) {
    return type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
}

// The console's handler runs on a thread of its own: the lock keeps the main thread from letting
// go of the handler's context while it runs.
CRITICAL_SECTION interrupt_lock;
INIT_ONCE interrupt_lock_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK init_interrupt_lock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&interrupt_lock);
    return TRUE;
}

// A read the main thread was about to start when the interrupt came is not there to cancel yet:
// keep cancelling until the main thread has left read_line (a second at most).
void cancel_read() {
    for (int i = 0; i < 100 && main_thread != nullptr && reading != 0; ++i) {
        CancelSynchronousIo(main_thread);
        Sleep(10);
    }
}

BOOL WINAPI on_console_event(DWORD type) {
    EnterCriticalSection(&interrupt_lock);
    const bool first = interrupt_handler != nullptr &&
                       InterlockedCompareExchange(&interrupt_type, static_cast<LONG>(type), -1) == -1;
    if (first) interrupt_handler(interrupt_context);
    if (first) SetEvent(input_cut);
    LeaveCriticalSection(&interrupt_lock);
    if (!first) return interrupt_type != -1 ? TRUE : FALSE;
    cancel_read();
    // Give the main thread the time its orderly shutdown takes (it ends the process itself).
    if (closing(static_cast<LONG>(type))) Sleep(kCloseWaitMs);
    return TRUE;
}

bool read_console(HANDLE console, char* buffer, std::size_t size) {
    while (!console_lines_take(&console_lines, buffer, size)) {
        if (console_lines.ended || interrupted()) return false;
        wchar_t wide[1024];
        DWORD got = 0;
        if (!ReadConsoleW(console, wide, 1024, &got, nullptr)) return false;
        // Ctrl+C ends the read with nothing, maybe before its handler (on a thread of its own) has
        // run: that is no end of input.
        for (int i = 0; got == 0 && i < 100 && !interrupted(); ++i) Sleep(10);
        console_lines_add(&console_lines, wide, got);
    }
    return true;
}

}  // namespace

void* input_cut_event() { return input_cut; }

bool read_line(std::FILE* in, char* buffer, std::size_t size) {
    HANDLE console = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool typed = in == stdin && GetConsoleMode(console, &mode);
    InterlockedExchange(&reading, 1);
    const bool ok = !interrupted() && (typed ? read_console(console, buffer, size)
                                             : std::fgets(buffer, static_cast<int>(size), in) != nullptr);
    InterlockedExchange(&reading, 0);
    return ok && !interrupted();
}

void on_interrupt(void (*handler)(void*), void* context) {
    InitOnceExecuteOnce(&interrupt_lock_once, init_interrupt_lock, nullptr, nullptr);
    EnterCriticalSection(&interrupt_lock);
    interrupt_handler = handler;
    interrupt_context = context;
    LeaveCriticalSection(&interrupt_lock);
    if (handler == nullptr) {
        SetConsoleCtrlHandler(on_console_event, FALSE);
        return;
    }
    InterlockedExchange(&input_ended, 0);
    ResetEvent(input_cut);
    if (main_thread == nullptr) {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                        &main_thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
    }
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

// STATUS_CONTROL_C_EXIT, what Windows reports for a console program ended by Ctrl+C.
int interrupted_exit_code() { return static_cast<int>(0xC000013AU); }

std::uint32_t interrupt_time_limit_ms() { return closing(interrupt_type) ? kCloseWaitMs : kForever; }

void end_input() {
    InterlockedExchange(&input_ended, 1);
    SetEvent(input_cut);
    cancel_read();
}

bool random_bytes(void* out, std::size_t size) {
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(size),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

bool default_gateway(Endpoint* gateway) {
    MIB_IPFORWARDROW route{};
    // The route toward an address of the internet's (192.0.2.1; nothing is sent) is the default one.
    if (GetBestRoute(htonl(0xC0000201), 0, &route) != NO_ERROR || route.dwForwardNextHop == 0) return false;
    *gateway = Endpoint{ntohl(route.dwForwardNextHop), 0};
    return true;
}

}  // namespace platform
