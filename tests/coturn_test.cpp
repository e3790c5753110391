// Discovery against a real STUN server: coturn's turnserver in STUN-only mode on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "stun/binding.h"
#include "stun/discovery.h"
#include "support.h"

extern char** environ;

namespace {

const char kTurnserver[] = "/usr/bin/turnserver";

class Coturn : public testing::Test {
protected:
    void SetUp() override {
        if (access(kTurnserver, X_OK) != 0) GTEST_SKIP() << "coturn is not installed";
        {
            test::UdpSocket probe;  // a free port for the server, released just before it binds
            port = probe.port;
        }
        const std::string port_text = std::to_string(port);
        std::vector<std::string> words = {kTurnserver, "--stun-only", "--listening-ip",
                                          "127.0.0.1", "--listening-port", port_text,
                                          "--no-cli", "--no-tls", "--no-dtls",
                                          "--log-file", "stdout", "--no-stdout-log"};
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&server, kTurnserver, nullptr, nullptr, argv.data(), environ), 0);
    }
    void TearDown() override {
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
    }

    // Binding Success Response bytes from the server, asked for directly until it is up.
    bool ask(const test::UdpSocket& client, std::string* answer, std::uint8_t id[12]) {
        std::uint8_t request[20];
        std::int32_t length = 0;
        build_binding_request(request, &length, id);
        for (int attempt = 0; attempt < 50; ++attempt) {
            client.send(std::string(reinterpret_cast<char*>(request), 20), {test::kLoopback, port});
            platform::Endpoint from{};
            if (client.receive(answer, &from, 100)) return true;
        }
        return false;
    }

    pid_t server = 0;
    std::uint16_t port = 0;
};

TEST_F(Coturn, ItsBindingResponseDecodesToOurOwnMapping) {
    test::UdpSocket client;
    std::string answer;
    std::uint8_t id[12];
    ASSERT_TRUE(ask(client, &answer, id)) << "turnserver did not answer";
    char ip[16] = "";
    std::uint16_t mapped = 0;
    ASSERT_TRUE(parse_binding_response(reinterpret_cast<const std::uint8_t*>(answer.data()),
                                       static_cast<std::int32_t>(answer.size()), id, ip, &mapped));
    EXPECT_STREQ(ip, "127.0.0.1");
    EXPECT_EQ(mapped, client.port);

    test::begin_capture();
    char public_ip[16] = "";
    std::uint16_t public_port = 0;
    const bool ok = discover_public_address_via(StunServer{"127.0.0.1", port}, client.sock,
                                                public_ip, &public_port);
    const std::string out = test::end_capture();
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "Discovering external address via STUN...\nExternal address: 127.0.0.1:" +
                       std::to_string(client.port) + "\n");
}

}  // namespace
