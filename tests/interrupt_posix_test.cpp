// POSIX only: an interrupt runs natchat's handler, and a read that waits for the user ends. In a
// child process, since the interrupt stays noted for the rest of the process.
#include <gtest/gtest.h>
#include <signal.h>

#include "platform/platform.h"

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
