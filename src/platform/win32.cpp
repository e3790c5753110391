// The Win32 twin of the platform layer: Windows Sockets 2 and the kernel's threads, critical
// section and tick counter.

#include <ctime>
#include <new>

#include "platform/socket_headers.h"
#include "platform/system_clock.h"

namespace platform {
namespace {

SOCKET sock_of(Socket s) { return static_cast<SOCKET>(s); }

}  // namespace

bool net_startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void net_cleanup() { WSACleanup(); }

Socket udp_open() {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

bool set_nonblocking(Socket s) {
    u_long on = 1;
    return ioctlsocket(sock_of(s), FIONBIO, &on) == 0;
}

bool bind_any(Socket s) {
    sockaddr_in a = to_sockaddr(Endpoint{INADDR_ANY, 0});
    return ::bind(sock_of(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) != SOCKET_ERROR;
}

bool local_port(Socket s, std::uint16_t* port) {
    sockaddr_in a{};
    int len = sizeof a;
    if (::getsockname(sock_of(s), reinterpret_cast<sockaddr*>(&a), &len) == SOCKET_ERROR) {
        return false;
    }
    *port = ntohs(a.sin_port);
    return true;
}

bool set_receive_buffer(Socket s, int bytes) {
    return ::setsockopt(sock_of(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                        sizeof bytes) == 0;
}

void close_socket(Socket s) { ::closesocket(sock_of(s)); }

SendStatus send_to(Socket s, const void* data, std::size_t size, Endpoint to) {
    sockaddr_in a = to_sockaddr(to);
    if (::sendto(sock_of(s), static_cast<const char*>(data), static_cast<int>(size), 0,
                 reinterpret_cast<const sockaddr*>(&a), sizeof a) != SOCKET_ERROR) {
        return SendStatus::ok;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? SendStatus::would_block : SendStatus::failed;
}

RecvResult recv_from(Socket s, void* buffer, std::size_t capacity, Endpoint* from) {
    sockaddr_in a{};
    int len = sizeof a;
    int n = ::recvfrom(sock_of(s), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                       reinterpret_cast<sockaddr*>(&a), &len);
    if (n == SOCKET_ERROR) {
        int e = WSAGetLastError();
        switch (e) {
            case WSAEWOULDBLOCK: return {RecvStatus::would_block, 0, e};
            case WSAECONNRESET: return {RecvStatus::reset, 0, e};
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

static int wait_for(Socket s, bool write, std::uint32_t timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock_of(s), &set);
    timeval timeout{static_cast<long>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000) * 1000};
    int r = ::select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &timeout);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

int wait_readable(Socket s, std::uint32_t timeout_ms) { return wait_for(s, false, timeout_ms); }
int wait_writable(Socket s, std::uint32_t timeout_ms) { return wait_for(s, true, timeout_ms); }

bool host_name(char* out, std::size_t capacity) {
    if (::gethostname(out, static_cast<int>(capacity)) == SOCKET_ERROR) return false;
    out[capacity - 1] = '\0';
    return true;
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

std::int64_t unix_time_seconds() { return static_cast<std::int64_t>(_time64(nullptr)); }

std::uint32_t process_id() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

}  // namespace platform
