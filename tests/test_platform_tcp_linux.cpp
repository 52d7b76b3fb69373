// The real loopback TCP operations against listeners the tests open on 127.0.0.1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

// A socket bound to 127.0.0.1 on an ephemeral port, listening or not; closed at the end.
struct Local {
    int fd = -1;
    int port = 0;
    explicit Local(bool listening) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        if (listening) listen(fd, 4);
    }
    ~Local() { close(fd); }
};

// Connects the way the probe does; the outcome after any wait.
int connect_now(plat_sock s, int port) {
    plat_set_nonblocking(s);
    int how = plat_connect_loopback(s, port);
    if (how == PLAT_IN_PROGRESS) {
        EXPECT_GT(plat_wait(s, 1, 2000), 0);
        how = plat_connect_result(s);
    }
    return how;
}

TEST(LoopbackTcp, ConnectsToAListener) {
    Local server(true);
    ASSERT_GT(server.port, 0);
    const plat_sock s = plat_tcp_socket();
    ASSERT_NE(s, PLAT_NO_SOCK);
    EXPECT_EQ(connect_now(s, server.port), PLAT_CONNECTED);
    plat_close(s);
}

TEST(LoopbackTcp, BoundButNotListeningRefuses) {
    Local closed(false);
    const plat_sock s = plat_tcp_socket();
    EXPECT_EQ(connect_now(s, closed.port), PLAT_REFUSED);
    plat_close(s);
}

TEST(LoopbackTcp, ReceivesAndSeesThePeerClose) {
    Local server(true);
    const plat_sock s = plat_tcp_socket();
    ASSERT_EQ(connect_now(s, server.port), PLAT_CONNECTED);
    const int peer = accept(server.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    EXPECT_EQ(plat_wait(s, 0, 50), 0); // nothing sent yet: a time-out
    EXPECT_EQ(plat_send(s, "HEAD", 4), 4);
    char buf[8] = {};
    EXPECT_EQ(recv(peer, buf, sizeof buf, 0), 4);
    ASSERT_EQ(send(peer, "HTTP/", 5, 0), 5);
    EXPECT_GT(plat_wait(s, 0, 2000), 0);
    EXPECT_EQ(plat_recv(s, buf, 3), 3);
    EXPECT_EQ(plat_recv(s, buf, sizeof buf), 2);
    close(peer);
    EXPECT_GT(plat_wait(s, 0, 2000), 0);
    EXPECT_EQ(plat_recv(s, buf, sizeof buf), 0);
    plat_close(s);
}

TEST(LoopbackTcp, ReadWaitTimesOutAfterItsTime) {
    Local server(true);
    const plat_sock s = plat_tcp_socket();
    ASSERT_EQ(connect_now(s, server.port), PLAT_CONNECTED);
    const uint64_t t0 = plat_clock_ms();
    EXPECT_EQ(plat_wait(s, 0, 120), 0);
    const uint64_t took = plat_clock_ms() - t0;
    EXPECT_GE(took, 120u);
    EXPECT_LT(took, 5000u);
    plat_close(s);
}

TEST(LoopbackTcp, SendToAResetPeerRaisesNoSignal) {
    // The test binary keeps SIGPIPE's default action, which would end it.
    ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
    Local server(true);
    const plat_sock s = plat_tcp_socket();
    ASSERT_EQ(connect_now(s, server.port), PLAT_CONNECTED);
    const int peer = accept(server.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    const linger reset = {1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(peer); // sends a reset
    EXPECT_GT(plat_wait(s, 0, 2000), 0);
    char buf[4];
    EXPECT_LT(plat_recv(s, buf, sizeof buf), 0); // takes the reset: the next send is on a dead pipe
    EXPECT_LT(plat_send(s, "x", 1), 0);
    plat_close(s);
}

} // namespace
