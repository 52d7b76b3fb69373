// The Windows platform layer against the real system calls (run under Wine here).
// Winsock 2 comes before anything that includes windows.h, GoogleTest included.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

class Platform : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(plat_net_start(), 0); }
};

// A socket of the test's own, bound to an ephemeral port of 127.0.0.1 or ::1.
struct Bound {
    SOCKET s = INVALID_SOCKET;
    int port = 0;

    Bound(int type, int ipv6, bool listening) {
        s = socket(ipv6 ? AF_INET6 : AF_INET, type, 0);
        sockaddr_storage sa = {};
        int len;
        if (ipv6) {
            sockaddr_in6 *a = reinterpret_cast<sockaddr_in6 *>(&sa);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        } else {
            sockaddr_in *a = reinterpret_cast<sockaddr_in *>(&sa);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        }
        if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr *>(&sa), len) != 0) return;
        if (listening && listen(s, 4) != 0) return;
        getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len);
        port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_port
                          : reinterpret_cast<sockaddr_in *>(&sa)->sin_port);
    }
    ~Bound() {
        if (s != INVALID_SOCKET) closesocket(s);
    }
};

std::vector<plat_endpoint> read_table(int proto, int ipv6) {
    std::vector<plat_endpoint> rows;
    auto add = [](const plat_endpoint *ep, void *ctx) {
        static_cast<std::vector<plat_endpoint> *>(ctx)->push_back(*ep);
    };
    EXPECT_EQ(plat_table_read(proto, ipv6, add, &rows), 0);
    return rows;
}

const plat_endpoint *find_port(const std::vector<plat_endpoint> &rows, int port) {
    for (const plat_endpoint &ep : rows)
        if (ntohs(static_cast<u_short>(ep.port_field & 0xffff)) == port) return &ep;
    return nullptr;
}

// Wine 8 finds a socket's owner only while the owning process happens to hold the
// socket's Unix descriptor, which it rarely does (the Wine server keeps it): there the
// owner may be unknown. Windows always knows it.
bool owner_matches(const plat_endpoint &ep) {
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");
    return ep.pid == GetCurrentProcessId() || (wine && ep.pid == 0);
}

std::string addr_text(int ipv6, const unsigned char *addr) {
    char buf[64];
    if (plat_addr_text(ipv6, addr, buf, sizeof buf) != 0) return "(failed)";
    return buf;
}

TEST_F(Platform, StandardOutputIsBinary) {
    plat_stdio_init();
    EXPECT_EQ(_setmode(_fileno(stdout), _O_BINARY), _O_BINARY);
}

TEST_F(Platform, ClockCountsMilliseconds) {
    const uint64_t a = plat_clock_ms();
    Sleep(50);
    const uint64_t b = plat_clock_ms();
    EXPECT_GE(b - a, 45u);
    EXPECT_LT(b - a, 10000u);
}

TEST_F(Platform, UtcNowIsCalendarTime) {
    struct tm t;
    ASSERT_EQ(plat_utc_now(&t), 0);
    EXPECT_GE(t.tm_year + 1900, 2024);
    EXPECT_LT(t.tm_mon, 12);
    EXPECT_LT(t.tm_hour, 24);
}

TEST_F(Platform, AddressTexts) {
    const unsigned char v4_loop[4] = {127, 0, 0, 1}, v4_any[4] = {};
    const unsigned char v6_any[16] = {},
                        v6_loop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const unsigned char v6_link[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(addr_text(0, v4_loop), "127.0.0.1");
    EXPECT_EQ(addr_text(0, v4_any), "0.0.0.0");
    EXPECT_EQ(addr_text(1, v6_any), "::");
    EXPECT_EQ(addr_text(1, v6_loop), "::1");
    EXPECT_EQ(addr_text(1, v6_link), "fe80::1");
    char tiny[4];
    EXPECT_NE(plat_addr_text(0, v4_loop, tiny, sizeof tiny), 0);
}

TEST_F(Platform, ImagePathOfOwnProcess) {
    char path[512];
    ASSERT_EQ(plat_image_path(GetCurrentProcessId(), path, sizeof path), 0);
    const std::string p = path;
    const size_t sep = p.rfind(plat_path_sep());
    ASSERT_NE(sep, std::string::npos) << p;
    EXPECT_EQ(p.substr(sep + 1), "platform_tests.exe");
    EXPECT_EQ(p[1], ':') << "a Win32 path with its drive letter: " << p;
}

TEST_F(Platform, ImagePathFailures) {
    char path[512];
    // Process ids are multiples of 4; this one names no process.
    EXPECT_EQ(plat_image_path(0xFFFFFFF1u, path, sizeof path), -1);
    // A path that does not fit is no path, not a cut one that names another file.
    char small[8];
    EXPECT_EQ(plat_image_path(GetCurrentProcessId(), small, sizeof small), -1);
}

TEST_F(Platform, TcpListenersCarryStateAndOwner) {
    Bound v4(SOCK_STREAM, 0, true), v6(SOCK_STREAM, 1, true);
    ASSERT_NE(v4.port, 0);
    const plat_endpoint *ep = find_port(read_table(PLAT_TCP, 0), v4.port);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(addr_text(0, ep->addr), "127.0.0.1");
    EXPECT_EQ(ep->state, static_cast<uint32_t>(PLAT_TCP_LISTEN));
    EXPECT_TRUE(owner_matches(*ep)) << ep->pid;
    ASSERT_NE(v6.port, 0) << "no IPv6 loopback";
    const std::vector<plat_endpoint> rows = read_table(PLAT_TCP, 1);
    ep = find_port(rows, v6.port);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(addr_text(1, ep->addr), "::1");
    EXPECT_TRUE(owner_matches(*ep)) << ep->pid;
}

TEST_F(Platform, UdpEndpointsCarryOwner) {
    Bound v4(SOCK_DGRAM, 0, false);
    ASSERT_NE(v4.port, 0);
    const std::vector<plat_endpoint> rows = read_table(PLAT_UDP, 0);
    const plat_endpoint *ep = find_port(rows, v4.port);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(addr_text(0, ep->addr), "127.0.0.1");
    EXPECT_TRUE(owner_matches(*ep)) << ep->pid;
    // The TCP listener table holds no UDP endpoint.
    EXPECT_EQ(find_port(read_table(PLAT_TCP, 0), v4.port), nullptr);
}

TEST_F(Platform, LoopbackConnectionCarriesBytes) {
    Bound server(SOCK_STREAM, 0, true);
    ASSERT_NE(server.port, 0);
    plat_sock c = plat_tcp_socket();
    ASSERT_NE(c, PLAT_NO_SOCK);
    plat_set_nonblocking(c);
    const int started = plat_connect_loopback(c, server.port);
    ASSERT_TRUE(started == PLAT_CONNECTED || started == PLAT_IN_PROGRESS) << started;
    if (started == PLAT_IN_PROGRESS) {
        ASSERT_GT(plat_wait(c, 1, 2000), 0);
        EXPECT_EQ(plat_connect_result(c), PLAT_CONNECTED);
    }
    SOCKET peer = accept(server.s, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);

    EXPECT_EQ(plat_send(c, "ping", 4), 4);
    char buf[16] = {};
    EXPECT_EQ(recv(peer, buf, sizeof buf, 0), 4);
    EXPECT_STREQ(buf, "ping");

    // Nothing to read yet: the wait runs to its time-out.
    const uint64_t t0 = plat_clock_ms();
    EXPECT_EQ(plat_wait(c, 0, 100), 0);
    EXPECT_GE(plat_clock_ms() - t0, 90u);

    send(peer, "pong", 4, 0);
    ASSERT_GT(plat_wait(c, 0, 2000), 0);
    char got[16] = {};
    EXPECT_EQ(plat_recv(c, got, sizeof got), 4);
    EXPECT_STREQ(got, "pong");
    closesocket(peer);
    ASSERT_GT(plat_wait(c, 0, 2000), 0);
    EXPECT_EQ(plat_recv(c, got, sizeof got), 0);
    plat_close(c);
}

TEST_F(Platform, ClosedPortIsNeverConnected) {
    int port;
    {
        Bound gone(SOCK_STREAM, 0, true);
        port = gone.port;
    }
    ASSERT_NE(port, 0);
    plat_sock c = plat_tcp_socket();
    ASSERT_NE(c, PLAT_NO_SOCK);
    plat_set_nonblocking(c);
    const int started = plat_connect_loopback(c, port);
    EXPECT_NE(started, PLAT_CONNECTED);
    // Windows reports the refusal in the exception set only, so the write wait may
    // run out; where it ends early, the pending error is the refusal.
    if (started == PLAT_IN_PROGRESS && plat_wait(c, 1, 500) > 0) {
        EXPECT_EQ(plat_connect_result(c), PLAT_REFUSED);
    }
    plat_close(c);
}

} // namespace
