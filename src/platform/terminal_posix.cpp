// The terminal on POSIX: raw keys through termios, a resize through SIGWINCH, and the terminal
// given back as it was on every way out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

// A copy of the terminal's descriptor: an interrupt puts /dev/null at standard input, and the
// terminal must still be given back.
int tty_fd = -1;
termios saved_mode;
int resize_pipe[2] = {-1, -1};
constexpr char kPasteOn[] = "\x1b[?2004h";
constexpr char kPasteOff[] = "\x1b[?2004l";
const int kFatal[] = {SIGQUIT, SIGILL, SIGABRT, SIGFPE, SIGSEGV, SIGBUS};
// The interrupts, where nobody took them over (at the prompts, before on_interrupt): they end
// natchat as ever, the terminal given back first.
const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
bool interrupts_taken[std::size(kInterrupts)] = {};

// Safe in a signal handler.
void restore_terminal() {
    if (tty_fd < 0) return;
    [[maybe_unused]] const ssize_t n = ::write(tty_fd, kPasteOff, sizeof kPasteOff - 1);
    tcsetattr(tty_fd, TCSANOW, &saved_mode);
}

void on_fatal(int signo) {
    restore_terminal();
    ::raise(signo);  // its default action, once this handler returns (SA_RESETHAND)
}

void on_resize(int) {
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = ::write(resize_pipe[1], "", 1);
    errno = saved;
}

void set_handler(int signo, void (*handler)(int), int flags) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    action.sa_handler = handler;
    sigaction(signo, &action, nullptr);
}

bool at_terminal() {
    const char* term = std::getenv("TERM");
    return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1 &&
           (term == nullptr || std::strcmp(term, "dumb") != 0);
}

}  // namespace

bool terminal_begin() {
    if (tty_fd >= 0) return true;
    if (!at_terminal() || tcgetattr(STDIN_FILENO, &saved_mode) != 0) return false;
    if (resize_pipe[0] < 0 && ::pipe2(resize_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    termios raw = saved_mode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);  // ISIG stays: Ctrl+C as ever
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | ISTRIP);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;  // a stopped natchat would leave the shell a raw terminal
    tty_fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (tty_fd < 0 || tcsetattr(tty_fd, TCSANOW, &raw) != 0) {
        if (tty_fd >= 0) ::close(tty_fd);
        tty_fd = -1;
        return false;
    }
    for (int signo : kFatal) set_handler(signo, on_fatal, SA_RESETHAND);
    for (std::size_t i = 0; i < std::size(kInterrupts); ++i) {
        struct sigaction now {};
        sigaction(kInterrupts[i], nullptr, &now);
        interrupts_taken[i] = now.sa_handler == SIG_DFL;
        if (interrupts_taken[i]) set_handler(kInterrupts[i], on_fatal, SA_RESETHAND);
    }
    set_handler(SIGWINCH, on_resize, SA_RESTART);
    static bool registered = false;
    if (!registered) registered = std::atexit(terminal_end) == 0;
    [[maybe_unused]] const ssize_t n = ::write(tty_fd, kPasteOn, sizeof kPasteOn - 1);
    return true;
}

void terminal_end() {
    if (tty_fd < 0) return;
    restore_terminal();
    set_handler(SIGWINCH, SIG_DFL, 0);
    for (int signo : kFatal) set_handler(signo, SIG_DFL, 0);
    for (std::size_t i = 0; i < std::size(kInterrupts); ++i) {
        if (interrupts_taken[i]) set_handler(kInterrupts[i], SIG_DFL, 0);
        interrupts_taken[i] = false;
    }
    ::close(tty_fd);
    tty_fd = -1;
}

int terminal_width() {
    winsize size{};
    if (tty_fd < 0 || ::ioctl(tty_fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

// An interrupt or end_input puts /dev/null at standard input: the read finds its end there.
bool read_keys(char* buffer, std::size_t capacity, std::size_t* got, bool* resized) {
    *got = 0;
    *resized = false;
    for (;;) {
        pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {resize_pipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        char drain[64];
        if (p[1].revents != 0 && ::read(resize_pipe[0], drain, sizeof drain) > 0) {
            *resized = true;
            return true;
        }
        const ssize_t n = ::read(STDIN_FILENO, buffer, capacity);
        if (n > 0) {
            *got = static_cast<std::size_t>(n);
            return true;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) return false;
    }
}

}  // namespace platform
