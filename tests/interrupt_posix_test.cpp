// POSIX only, in child processes (an interrupt stays noted for the rest of the process): signals,
// and a standard input that is closed.
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

// The prompts read nothing, so the public port stands, 0 here, and is refused; reading a
// descriptor of natchat's own instead would hang until the alarm.
TEST(Interrupt, ClosedStandardInputReadsAsEmpty) {
    test::Responder stun(1, 0);
    std::string at = stun.at();
    // No router asked: its threads would start in a child forked from a process with threads.
    char name[] = "natchat", option[] = "--stun", quiet[] = "--no-portmap";
    char* argv[] = {name, option, at.data(), quiet};
    EXPECT_EXIT((::close(0), ::alarm(10), std::exit(natchat_main(4, argv, stdin))), testing::ExitedWithCode(1), "");
}
