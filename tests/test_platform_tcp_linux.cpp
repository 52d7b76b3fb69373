// The real loopback TCP operations against listeners the tests open on 127.0.0.1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform_addr_parse.h"

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

// ---- either family ----------------------------------------------------------

// A socket bound to an address of either family on an ephemeral port, listening or
// not; closed at the end.
struct Bound {
    int fd = -1;
    int port = 0;
    Bound(const char *addr, bool listening) {
        sockaddr_storage a = {};
        socklen_t len;
        const bool v6 = strchr(addr, ':') != nullptr;
        if (v6) {
            sockaddr_in6 *s6 = reinterpret_cast<sockaddr_in6 *>(&a);
            s6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, addr, &s6->sin6_addr);
            len = sizeof *s6;
        } else {
            sockaddr_in *s4 = reinterpret_cast<sockaddr_in *>(&a);
            s4->sin_family = AF_INET;
            inet_pton(AF_INET, addr, &s4->sin_addr);
            len = sizeof *s4;
        }
        fd = socket(a.ss_family, SOCK_STREAM, 0);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0) return;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port
                        : reinterpret_cast<sockaddr_in *>(&a)->sin_port);
        if (listening) listen(fd, 4);
    }
    ~Bound() { close(fd); }
};

// Connects to the text's address the way the probe does; the outcome after any wait.
int connect_to(plat_sock s, const char *addr, int port) {
    unsigned char bytes[16];
    int ipv6 = -1;
    EXPECT_EQ(plat_addr_parse(addr, &ipv6, bytes), 0) << addr;
    plat_set_nonblocking(s);
    int how = plat_connect_to(s, ipv6, bytes, port, 0);
    if (how == PLAT_IN_PROGRESS) {
        EXPECT_GT(plat_wait(s, 1, 2000), 0);
        how = plat_connect_result(s);
    }
    return how;
}

TEST(AnyAddressTcp, ParsesTheTwoFamilies) {
    expect_address_parsing();
    unsigned char a[16];
    int ipv6 = -1;
    for (const char *bad : {"10.1.2.3 ", "::1%lo", "010.1.2.3"})
        EXPECT_EQ(plat_addr_parse(bad, &ipv6, a), -1) << bad;
}

TEST(AnyAddressTcp, ConnectsOverEitherFamilyAndKnowsItsOwnEnd) {
    // The own end of a connection to 127.0.0.2 is the route's source, 127.0.0.1.
    const struct { const char *addr, *own; } cases[] = {{"::1", "::1"}, {"127.0.0.2", "127.0.0.1"}};
    for (const auto &[addr, own_text] : cases) {
        Bound server(addr, true);
        ASSERT_GT(server.port, 0) << addr;
        const int ipv6 = strchr(addr, ':') != nullptr;
        const plat_sock s = plat_tcp_socket_of(ipv6);
        ASSERT_NE(s, PLAT_NO_SOCK);
        EXPECT_EQ(connect_to(s, addr, server.port), PLAT_CONNECTED) << addr;
        unsigned char own[16], want[16];
        int own_v6 = -1, own_port = 0, want_v6 = -1;
        ASSERT_EQ(plat_local_endpoint(s, &own_v6, own, &own_port), 0);
        ASSERT_EQ(plat_addr_parse(own_text, &want_v6, want), 0);
        EXPECT_EQ(own_v6, ipv6);
        EXPECT_EQ(memcmp(own, want, ipv6 ? 16 : 4), 0) << addr;
        EXPECT_GT(own_port, 0);
        EXPECT_NE(own_port, server.port);
        // The IPv4 reading of the local address refuses an IPv6 socket.
        unsigned char v4[4];
        int v4_port = 0;
        EXPECT_EQ(plat_local_addr(s, v4, &v4_port), ipv6 ? -1 : 0) << addr;
        plat_close(s);
    }
}

TEST(AnyAddressTcp, BoundButNotListeningRefusesOverIpv6) {
    Bound closed("::1", false);
    ASSERT_GT(closed.port, 0);
    const plat_sock s = plat_tcp_socket_of(1);
    EXPECT_EQ(connect_to(s, "::1", closed.port), PLAT_REFUSED);
    plat_close(s);
}

} // namespace
