// POSIX only, each in a child process: an interrupt runs natchat's handler, and a read that waits
// for the user ends (the interrupt stays noted for the rest of the process); natchat started with
// standard input closed reads it as empty.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "platform/platform.h"
#include "session/program.h"
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

// Both prompts read nothing, so the public port stands, 0 here, and is refused; natchat reading
// a descriptor of its own instead would hang until the alarm.
TEST(Interrupt, ClosedStandardInputReadsAsEmpty) {
    test::StunResponder stun([](int, const std::string& req) {
        return test::Lines{test::binding_success(req, 0xCB007109, 0)};
    });
    std::string words[] = {"natchat", "--stun", "127.0.0.1:" + std::to_string(stun.socket.port)};
    char* argv[] = {words[0].data(), words[1].data(), words[2].data()};
    EXPECT_EXIT({
        ::close(STDIN_FILENO);
        ::alarm(10);
        std::exit(natchat_main(3, argv, stdin));
    }, testing::ExitedWithCode(1), "");
}
