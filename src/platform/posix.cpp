// The POSIX twin of the platform layer.
#include <fcntl.h>
#include <net/route.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <new>

#include "platform/socket_headers.h"
#include "platform/system_clock.h"

namespace platform {

bool net_startup() { return true; }
void net_cleanup() {}

void close_os_socket(OsSocket s) { ::close(s); }

bool set_nonblocking(Socket s) {
    return ::fcntl(os_socket(s), F_SETFL, ::fcntl(os_socket(s), F_GETFL, 0) | O_NONBLOCK) == 0;
}

BindStatus bind_any(Socket s, std::uint16_t port) {
    SocketAddress a = wildcard_sockaddr(port);
    if (::bind(os_socket(s), a.get(), a.size) == 0) return BindStatus::ok;
    return errno == EADDRINUSE ? BindStatus::in_use : BindStatus::failed;
}

SendStatus send_to(Socket s, const void* data, std::size_t size, Endpoint to) {
    SocketAddress a = to_sockaddr(to, socket_family());
    if (::sendto(os_socket(s), data, size, MSG_NOSIGNAL, a.get(), a.size) != -1) return SendStatus::ok;
    switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return SendStatus::would_block;
        default:
            return SendStatus::failed;
    }
}

RecvResult recv_from(Socket s, void* buffer, std::size_t capacity, Endpoint* from) {
    SocketAddress a = any_sockaddr();
    // MSG_TRUNC makes Linux report a datagram's real length, so an oversized one is told apart
    // from one that fits exactly; the buffer keeps the first `capacity` bytes either way.
    ssize_t n = ::recvfrom(os_socket(s), buffer, capacity, MSG_TRUNC, a.get(), &a.size);
    if (n == -1) {
        const int e = errno;
        switch (e) {
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
            case EINTR: return {RecvStatus::would_block, 0, e};
            case ECONNREFUSED: return {RecvStatus::reset, 0, e};
            default: return {RecvStatus::other, 0, e};
        }
    }
    if (from != nullptr) *from = from_sockaddr(a);
    const std::size_t kept = std::min(static_cast<std::size_t>(n), capacity);
    if (kept == static_cast<std::size_t>(n)) return {RecvStatus::ok, kept, 0};
    return {RecvStatus::message_too_long, kept, EMSGSIZE};
}

static bool wait_for(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

bool system_wait_readable(Socket s, std::uint32_t timeout_ms) {
    return wait_for(os_socket(s), POLLIN, static_cast<int>(timeout_ms));
}

bool wait_writable(Socket s, std::uint32_t timeout_ms) {
    return wait_for(os_socket(s), POLLOUT, static_cast<int>(timeout_ms));
}

bool waker_open(Waker* waker) {
    int stop[2] = {-1, -1}, nudge[2] = {-1, -1};
    const bool ok = ::pipe(stop) == 0 && ::pipe(nudge) == 0;
    for (int fd : {stop[1], nudge[0], nudge[1]}) ::fcntl(fd, F_SETFL, O_NONBLOCK);
    waker->handles[0] = stop[0];
    waker->handles[1] = stop[1];
    waker->handles[2] = nudge[0];
    waker->handles[3] = nudge[1];
    if (!ok) waker_close(waker);  // closing -1 does nothing
    return ok;
}

namespace {

void write_byte(std::intptr_t fd) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(static_cast<int>(fd), &byte, 1);
}

}  // namespace

// One byte that nobody reads: the read end stays readable from then on.
void waker_signal(Waker* waker) { write_byte(waker->handles[1]); }

void waker_nudge(Waker* waker) { write_byte(waker->handles[3]); }

void waker_close(Waker* waker) {
    for (std::intptr_t fd : waker->handles) ::close(static_cast<int>(fd));
}

bool wait_for_datagram(const Socket* sockets, std::size_t count, Waker* waker) {
    pollfd p[kMaxWaitSockets + 1];
    p[0] = {static_cast<int>(waker->handles[0]), POLLIN, 0};
    count = std::min(count, kMaxWaitSockets);
    for (std::size_t i = 0; i < count; ++i) p[i + 1] = {os_socket(sockets[i]), POLLIN, 0};
    ::poll(p, static_cast<nfds_t>(count + 1), -1);
    return p[0].revents == 0;
}

Woken system_wait_stop(Waker* waker, std::uint32_t ms) {
    pollfd p[2] = {{static_cast<int>(waker->handles[0]), POLLIN, 0},
                   {static_cast<int>(waker->handles[2]), POLLIN, 0}};
    ::poll(p, 2, ms == kForever ? -1 : static_cast<int>(ms));
    // A nudge has done its work once the sleeper is awake; reading an empty pipe just fails.
    char drain[64];
    const ssize_t n = ::read(static_cast<int>(waker->handles[2]), drain, sizeof drain);
    if (p[0].revents != 0) return Woken::stop;
    return n > 0 ? Woken::nudge : Woken::time;
}

// pthreads have no join with a time limit, so each thread carries a small control block that
// says when it is done. The block is freed by whichever side lets go of it last.
namespace {

struct ThreadBlock {
    pthread_t id;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    ThreadProc proc;
    void* arg;
    bool done;
    bool abandoned;
};

void release_block(ThreadBlock* b) {
    pthread_cond_destroy(&b->cond);
    pthread_mutex_destroy(&b->mutex);
    delete b;
}

void* thread_main(void* p) {
    auto* b = static_cast<ThreadBlock*>(p);
    b->proc(b->arg);
    pthread_mutex_lock(&b->mutex);
    b->done = true;
    bool abandoned = b->abandoned;
    pthread_cond_broadcast(&b->cond);
    pthread_mutex_unlock(&b->mutex);
    if (abandoned) release_block(b);
    return nullptr;
}

}  // namespace

// The interrupts that on_interrupt takes over.
const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

bool thread_start(Thread* thread, ThreadProc proc, void* arg) {
    auto* b = new (std::nothrow) ThreadBlock{};
    if (b == nullptr) return false;
    pthread_mutex_init(&b->mutex, nullptr);
    pthread_cond_init(&b->cond, nullptr);
    b->proc = proc;
    b->arg = arg;
    // Interrupts go to the main thread alone, whose read they must cut short: a new thread
    // inherits the blocked set.
    sigset_t blocked, before;
    sigemptyset(&blocked);
    for (int signo : kInterrupts) sigaddset(&blocked, signo);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    const bool started = pthread_create(&b->id, nullptr, thread_main, b) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (started) {
        thread->handle = b;
    } else {
        release_block(b);
    }
    return started;
}

bool thread_wait(Thread thread, std::uint32_t timeout_ms) {
    auto* b = static_cast<ThreadBlock*>(thread.handle);
    if (b == nullptr) return true;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long nanoseconds = now.tv_nsec + static_cast<long>(timeout_ms % 1000) * 1000000L;
    const timespec deadline{now.tv_sec + timeout_ms / 1000 + nanoseconds / 1000000000L,
                            nanoseconds % 1000000000L};
    pthread_mutex_lock(&b->mutex);
    int rc = 0;
    while (!b->done && rc == 0) rc = pthread_cond_timedwait(&b->cond, &b->mutex, &deadline);
    bool done = b->done;
    pthread_mutex_unlock(&b->mutex);
    return done;
}

void thread_close(Thread* thread) {
    auto* b = static_cast<ThreadBlock*>(thread->handle);
    if (b == nullptr) return;
    thread->handle = nullptr;
    pthread_mutex_lock(&b->mutex);
    bool done = b->done;
    b->abandoned = !done;
    const pthread_t id = b->id;  // once abandoned, the thread may free the block at any moment
    pthread_mutex_unlock(&b->mutex);
    if (done) {
        pthread_join(id, nullptr);
        release_block(b);
    } else {
        pthread_detach(id);
    }
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::storage));
static_assert(alignof(pthread_mutex_t) <= alignof(Lock));

static pthread_mutex_t* mutex_of(Lock* lock) {
    return reinterpret_cast<pthread_mutex_t*>(lock->storage);
}

void lock_init(Lock* lock) { pthread_mutex_init(new (lock->storage) pthread_mutex_t, nullptr); }
void lock_enter(Lock* lock) { pthread_mutex_lock(mutex_of(lock)); }
void lock_leave(Lock* lock) { pthread_mutex_unlock(mutex_of(lock)); }
void lock_destroy(Lock* lock) { pthread_mutex_destroy(mutex_of(lock)); }

std::uint32_t system_tick_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    auto ms = static_cast<std::uint64_t>(t.tv_sec) * 1000u +
              static_cast<std::uint64_t>(t.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void system_sleep_ms(std::uint32_t ms) {
    // An interrupt cuts the sleep short, which suits the punching loop that it is to end.
    const timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

void console_init() {
    // A standard descriptor left closed by whoever started us would go to the next thing opened
    // (the wake-up pipe), and natchat would read its own stop signal as typed text. The lowest
    // free descriptor is the one opened, so each comes back in turn.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", O_RDWR);
    }
}

bool write_out(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wait_for(STDOUT_FILENO, POLLOUT, -1);  // someone made our output non-blocking
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

namespace {

volatile std::sig_atomic_t interrupt_signal = 0;
void (*interrupt_handler)(void*) = nullptr;
void* interrupt_context = nullptr;
int null_input = -1;
// end_input's: the thread whose reads it ends, while one is installed, and whether it came.
pthread_t input_thread;
std::atomic<bool> input_thread_known{false};
std::atomic<bool> input_ended{false};
// Sent by end_input to the reading thread; its handler stays installed for good, so that a late
// one never ends the process.
constexpr int kEndInputSignal = SIGUSR1;

// A read already under way returns with EINTR; one about to start finds the end of input.
void cut_input(int) { ::dup2(null_input, STDIN_FILENO); }

void on_signal(int signo) {
    if (interrupt_signal != 0) return;
    interrupt_signal = signo;
    interrupt_handler(interrupt_context);
    cut_input(signo);
}

bool input_over() { return interrupt_signal != 0 || input_ended.load(); }

}  // namespace

bool read_line(std::FILE* in, char* buffer, std::size_t size) {
    return !input_over() && std::fgets(buffer, static_cast<int>(size), in) != nullptr &&
           !input_over();
}

void on_interrupt(void (*handler)(void*), void* context) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked read must end
    action.sa_handler = handler != nullptr ? on_signal : SIG_DFL;
    if (handler == nullptr) {
        input_thread_known = false;
        for (int signo : kInterrupts) sigaction(signo, &action, nullptr);
        ::close(null_input);
        return;
    }
    interrupt_handler = handler;
    interrupt_context = context;
    null_input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (int signo : kInterrupts) sigaction(signo, &action, nullptr);
    action.sa_handler = cut_input;
    sigaction(kEndInputSignal, &action, nullptr);
    input_ended = false;
    input_thread = pthread_self();
    input_thread_known = true;
}

int interrupted_exit_code() { return 128 + interrupt_signal; }

std::uint32_t interrupt_time_limit_ms() { return kForever; }

void end_input() {
    input_ended = true;
    if (input_thread_known) pthread_kill(input_thread, kEndInputSignal);
}

// Up to 256 bytes come whole and are never cut short by a signal; more may come short (false).
bool random_bytes(void* out, std::size_t size) {
    return ::getrandom(out, size, 0) == static_cast<ssize_t>(size);
}

bool default_gateway(Endpoint* gateway) {
    // Linux's routing table as text: each field in hex, the addresses as they lie in memory.
    std::FILE* routes = std::fopen("/proc/net/route", "r");
    if (routes == nullptr) return false;
    char line[256];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, routes) != nullptr) {
        char name[64];
        unsigned long destination = 0, next_hop = 0, flags = 0;
        found = std::sscanf(line, "%63s %lx %lx %lx", name, &destination, &next_hop, &flags) == 4 &&
                destination == 0 && (flags & RTF_GATEWAY) != 0 && next_hop != 0;
        if (found) *gateway = Endpoint{ntohl(static_cast<std::uint32_t>(next_hop)), 0};
    }
    std::fclose(routes);
    return found;
}

}  // namespace platform
