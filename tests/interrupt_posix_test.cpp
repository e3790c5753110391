// POSIX only, in child processes (an interrupt stays noted for the rest of the process): signals,
// a standard input that is closed, and the terminal's read at its end.
#include <signal.h>
#include <unistd.h>

#include "app/program.h"
#include "support.h"

TEST(Interrupt, SignalRunsTheHandlerAndEndsTheRead) {
    EXPECT_EXIT({
        static int calls = 0;
        platform::on_interrupt([](void*) { ++calls; }, nullptr);
        raise(SIGTERM);
        char line[8];
        const bool ended = !platform::read_line(stdin, line, sizeof line);
        std::exit(calls == 1 && ended && platform::interrupted_exit_code() == 128 + SIGTERM ? 0 : 1);
    }, testing::ExitedWithCode(0), "");
}

// The prompts read nothing, so no port is entered and it is refused; reading a descriptor of
// natchat's own instead would hang until the alarm. No STUN server and no router: the child is
// forked, and a thread beside the fork may leave a lock held for good in the child.
TEST(Interrupt, ClosedStandardInputReadsAsEmpty) {
    char name[] = "natchat", no_stun[] = "--no-stun", quiet[] = "--no-portmap";
    char* argv[] = {name, no_stun, quiet};
    EXPECT_EXIT((::close(0), ::alarm(10), std::exit(natchat_main(3, argv, stdin))), testing::ExitedWithCode(1), "");
}

// Whatever errno held: a read that went on there would spin for good once the terminal is gone.
TEST(Interrupt, TheTerminalsReadEndsAtTheEndAndOnAnError) {
    for (const bool closed : {false, true}) {
        EXPECT_EXIT({
            int ends[2];
            if (::pipe(ends) != 0 || ::dup2(ends[0], 0) < 0 || ::close(ends[1]) != 0 || (closed && ::close(0) != 0)) std::exit(2);
            char keys[8];
            std::size_t got = 0;
            bool resized = false;
            errno = EAGAIN;
            std::exit((::alarm(5), platform::read_keys(keys, sizeof keys, &got, &resized)) ? 1 : 0);
        }, testing::ExitedWithCode(0), "") << closed;
    }
}
