#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peer/receiver.h"
#include "session/peer_session.h"
#include "support.h"

namespace {

using test::eventually;
using test::UdpSocket;

// A session whose receiver runs on a real loopback socket, and a peer socket to talk to it.
struct ReceiverRig {
    ReceiverRig() {
        session_init(&session);
        session.sock = own.sock;
        own.sock = platform::kInvalidSocket;  // the session owns it now
        platform::thread_start(&session.recv_thread, receive_loop, &session);
        test::begin_capture();
    }
    ~ReceiverRig() {
        if (session.recv_thread.handle != nullptr) stop();
        platform::close_socket(session.sock);
        session_destroy(&session);
    }
    // Stops the receiver and returns everything it printed.
    std::string stop() {
        session.running.store(false);
        EXPECT_TRUE(platform::thread_wait(session.recv_thread, 2000));
        platform::thread_close(&session.recv_thread);
        return test::end_capture();
    }
    platform::Endpoint address() const {
        std::uint16_t port = 0;
        platform::local_port(session.sock, &port);
        return {test::kLoopback, port};
    }
    void send(const std::string& bytes) { peer.send(bytes, address()); }
    bool counted(int n) {
        return eventually([&] { return session.packets_received.load() >= n; }) &&
               session.packets_received.load() == n;
    }

    UdpSocket own;
    UdpSocket peer;
    PeerSession session;
};

TEST(Receiver, AnswersEachPunchOnceToItsSender) {
    ReceiverRig rig;
    UdpSocket stranger;
    stranger.send("PUNCH", rig.address());
    std::string reply;
    platform::Endpoint from{};
    ASSERT_TRUE(stranger.receive(&reply, &from, 2000));
    EXPECT_EQ(reply, "PUNCH_ACK");
    EXPECT_TRUE(stranger.drain(100).empty());
    EXPECT_TRUE(rig.peer.drain(50).empty()) << "answered to the punch's sender only";
    EXPECT_TRUE(rig.counted(1));
    EXPECT_EQ(rig.stop(), "");
}

TEST(Receiver, TenQueuedPunchesAreAllAnswered) {
    ReceiverRig rig;
    for (int i = 0; i < 10; ++i) rig.send("PUNCH");
    EXPECT_TRUE(rig.counted(10));
    std::vector<std::string> replies = rig.peer.drain(200);
    EXPECT_EQ(replies, std::vector<std::string>(10, "PUNCH_ACK"));
    rig.stop();
}

TEST(Receiver, CountsControlDatagramsWithoutAnsweringOrShowing) {
    ReceiverRig rig;
    rig.send("PUNCH_ACK");
    rig.send("KEEPALIVE");
    rig.send("KEEPALIVE extra");
    rig.send("");  // empty: not counted at all
    EXPECT_TRUE(rig.counted(3));
    EXPECT_TRUE(rig.peer.drain(100).empty());
    EXPECT_EQ(rig.stop(), "");
    EXPECT_FALSE(rig.session.connected.load());
}

TEST(Receiver, ShowsChatLinesAndAnnouncesTheFirst) {
    ReceiverRig rig;
    rig.send("PUNC");
    rig.send(std::string("zero\0byte", 9));
    rig.send("\x1b[2Jgotcha\r");
    EXPECT_TRUE(rig.counted(3));
    EXPECT_TRUE(rig.session.connected.load());
    EXPECT_EQ(rig.stop(),
              "\n[Connection established!]\n> "
              "\n[Peer]: PUNC\n> "
              "\n[Peer]: zero\n> "
              "\n[Peer]: ?[2Jgotcha?\n> ");
}

TEST(Receiver, LongestLineWholeAndOversizedSurvived) {
    ReceiverRig rig;
    rig.session.connected.store(true);
    const std::string longest(2047, 'a');
    rig.send(longest);
    rig.send(std::string(2047, 'b') + std::string(1000, 'c'));
    rig.send("still here");
    EXPECT_TRUE(rig.counted(3));
    EXPECT_EQ(rig.stop(), "\n[Peer]: " + longest + "\n> " + "\n[Peer]: " +
                              std::string(2047, 'b') + "\n> \n[Peer]: still here\n> ");
}

TEST(Receiver, EndsSilentlyOnceRunningClears) {
    ReceiverRig rig;
    rig.session.running.store(false);
    EXPECT_TRUE(platform::thread_wait(rig.session.recv_thread, 500));
    EXPECT_EQ(rig.stop(), "");
}

}  // namespace
