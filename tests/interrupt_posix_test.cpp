// POSIX only: SIGINT while natchat waits for a typed line ends it as "quit" would.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "session/program.h"
#include "support.h"

TEST(Interrupt, SigintEndsTheChatInOrder) {
    test::StunResponder stun([](int, const std::string& req) {
        return test::Lines{test::binding_success(req, 0x7F000001, 1)};
    });
    test::UdpSocket peer;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::FILE* in = fdopen(fds[0], "r");  // stays open: the read waits for the user
    const pthread_t main_thread = pthread_self();
    std::string last;
    std::thread answer([&] {  // acknowledges punches; the first chat line sets off Ctrl+C
        for (platform::Endpoint from{}; last != "KEEPALIVE BYE";) {
            if (!peer.receive(&last, &from, 5000)) return;
            if (last == "PUNCH") peer.send("PUNCH_ACK", from);
            if (last == "hello") pthread_kill(main_thread, SIGINT);
        }
    });
    ASSERT_EQ(write(fds[1], "hello\n", 6), 6);
    std::string name = "natchat", option = "--stun", server = "127.0.0.1:" + std::to_string(stun.socket.port),
                ip = "127.0.0.1", port = std::to_string(peer.port);
    char* argv[] = {name.data(), option.data(), server.data(), ip.data(), port.data(), nullptr};
    int code = 0;
    testing::internal::CaptureStdout();
    code = natchat_main(5, argv, in);
    const std::string out = testing::internal::GetCapturedStdout();
    answer.join();
    std::fclose(in);
    close(fds[1]);
    EXPECT_EQ(code, 128 + SIGINT);
    EXPECT_EQ(last, "KEEPALIVE BYE");
    EXPECT_TRUE(out.size() > 18 && out.substr(out.size() - 18) == "\nShutting down...\n") << out;
}
