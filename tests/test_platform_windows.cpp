// The Windows platform layer against the real system calls (run under Wine here).
// Winsock 2 comes before anything that includes windows.h, GoogleTest included.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows_names.h"
#include "platform_addr_parse.h"

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

// One list out of a reading of all four; the listed names are checked on the way,
// since they live only as long as the reading.
std::vector<plat_endpoint> read_table(int wanted) {
    static const int order[PLAT_LISTS] = {PLAT_TCP4, PLAT_TCP6, PLAT_UDP4, PLAT_UDP6};
    struct ctx {
        int wanted;
        std::vector<plat_endpoint> rows;
    } c = {wanted, {}};
    auto add = [](int list, const plat_endpoint *ep, void *p) {
        ctx &c = *static_cast<ctx *>(p);
        if (list != c.wanted) return;
        c.rows.push_back(*ep);
        // The process list names every owner it holds; pid 0 has no name.
        if (ep->pid == GetCurrentProcessId()) {
            EXPECT_STREQ(ep->listed_name, "platform_tests.exe");
        }
        if (ep->pid == 0) {
            EXPECT_EQ(ep->listed_name, nullptr);
        }
        c.rows.back().listed_name = nullptr;
    };
    EXPECT_EQ(plat_tables_read(order, add, &c), (1 << PLAT_LISTS) - 1);
    return c.rows;
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

TEST_F(Platform, ImageNameOfOwnProcess) {
    char name[512];
    ASSERT_EQ(plat_image_name(GetCurrentProcessId(), name, sizeof name), 0);
    EXPECT_STREQ(name, "platform_tests.exe");
    ASSERT_EQ(win_path_name(GetCurrentProcessId(), name, sizeof name), 0);
    EXPECT_STREQ(name, "platform_tests.exe");
}

TEST_F(Platform, ImageNameFailures) {
    char name[512];
    // Process ids are multiples of 4; this one names no process.
    EXPECT_EQ(plat_image_name(0xFFFFFFF1u, name, sizeof name), -1);
    // A name that does not fit is no name, not a cut one.
    char small[8];
    EXPECT_EQ(plat_image_name(GetCurrentProcessId(), small, sizeof small), -1);
    // The snapshot holds what it was taken with, whole or not at all.
    win_names names;
    win_names_take(&names);
    EXPECT_EQ(win_names_find(&names, GetCurrentProcessId(), small, sizeof small), -1);
    EXPECT_EQ(win_names_find(&names, 0xFFFFFFF1u, name, sizeof name), -1);
    win_names_free(&names);
    EXPECT_EQ(win_names_find(&names, GetCurrentProcessId(), name, sizeof name), -1);
}

// A copy of this test program under another file name, running (it lingers, see main)
// until the end of the test.
struct Copy {
    std::wstring dir, exe;
    PROCESS_INFORMATION pi = {};
    bool running = false;

    explicit Copy(const wchar_t *file_name) {
        wchar_t self[MAX_PATH], tmp[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        GetTempPathW(MAX_PATH, tmp);
        dir = std::wstring(tmp) + L"ports-names-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(dir.c_str(), nullptr);
        exe = dir + L"\\" + file_name;
        if (!CopyFileW(self, exe.c_str(), FALSE)) return;
        std::wstring cmd = L"\"" + exe + L"\" --linger";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        running = CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &si, &pi);
    }
    ~Copy() {
        if (running) {
            TerminateProcess(pi.hProcess, 0);
            WaitForSingleObject(pi.hProcess, 10000);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        DeleteFileW(exe.c_str());
        RemoveDirectoryW(dir.c_str());
    }
};

// The names are UTF-8 whatever the ANSI code page, from the path query and from the
// snapshot alike. "表" ends in the byte 0x5C (a backslash) in code page 932.
TEST_F(Platform, ImageNamesAreUtf8) {
    const struct {
        const wchar_t *file;
        const char *utf8;
    } cases[] = {
        {L"caf\u00e9.exe", "caf\xc3\xa9.exe"},
        {L"\u8868\u793a.exe", "\xe8\xa1\xa8\xe7\xa4\xba.exe"},
        {L"\u043f\u0430\u0440\u043e\u043b\u044c.exe", "\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c.exe"},
    };
    for (const auto &c : cases) {
        Copy copy(c.file);
        ASSERT_TRUE(copy.running) << c.utf8;
        const DWORD pid = copy.pi.dwProcessId;
        char name[512];
        ASSERT_EQ(win_path_name(pid, name, sizeof name), 0) << c.utf8;
        EXPECT_STREQ(name, c.utf8);
        ASSERT_EQ(plat_image_name(pid, name, sizeof name), 0) << c.utf8;
        EXPECT_STREQ(name, c.utf8);
        // Where the process could not be opened, the snapshot names it.
        win_names names;
        win_names_take(&names);
        const int rc = win_names_find(&names, pid, name, sizeof name);
        win_names_free(&names);
        ASSERT_EQ(rc, 0) << c.utf8;
        EXPECT_STREQ(name, c.utf8);
    }
}

TEST_F(Platform, TcpListenersCarryStateAndOwner) {
    Bound v4(SOCK_STREAM, 0, true), v6(SOCK_STREAM, 1, true);
    ASSERT_NE(v4.port, 0);
    const std::vector<plat_endpoint> rows4 = read_table(PLAT_TCP4);
    const plat_endpoint *ep = find_port(rows4, v4.port);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(addr_text(0, ep->addr), "127.0.0.1");
    EXPECT_EQ(ep->state, static_cast<uint32_t>(PLAT_TCP_LISTEN));
    EXPECT_TRUE(owner_matches(*ep)) << ep->pid;
    ASSERT_NE(v6.port, 0) << "no IPv6 loopback";
    const std::vector<plat_endpoint> rows = read_table(PLAT_TCP6);
    ep = find_port(rows, v6.port);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(addr_text(1, ep->addr), "::1");
    EXPECT_TRUE(owner_matches(*ep)) << ep->pid;
}

TEST_F(Platform, UdpEndpointsCarryOwner) {
    Bound v4(SOCK_DGRAM, 0, false);
    ASSERT_NE(v4.port, 0);
    const std::vector<plat_endpoint> rows = read_table(PLAT_UDP4);
    const plat_endpoint *ep = find_port(rows, v4.port);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(addr_text(0, ep->addr), "127.0.0.1");
    EXPECT_TRUE(owner_matches(*ep)) << ep->pid;
    // The TCP listener table holds no UDP endpoint.
    EXPECT_EQ(find_port(read_table(PLAT_TCP4), v4.port), nullptr);
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

TEST_F(Platform, ClosedPortIsRefusedAtOnce) {
    static const unsigned char v6_loop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int ipv6 = 0; ipv6 < 2; ++ipv6) {
        int port;
        {
            Bound gone(SOCK_STREAM, ipv6, true);
            port = gone.port;
        }
        ASSERT_NE(port, 0) << ipv6;
        plat_sock c = ipv6 ? plat_tcp_socket_of(1) : plat_tcp_socket();
        ASSERT_NE(c, PLAT_NO_SOCK);
        plat_set_nonblocking(c);
        const uint64_t t0 = plat_clock_ms();
        int how = ipv6 ? plat_connect_to(c, 1, v6_loop, port) : plat_connect_loopback(c, port);
        ASSERT_NE(how, PLAT_CONNECTED);
        // Winsock reports the refusal in the exception set, which the wait watches.
        if (how == PLAT_IN_PROGRESS) {
            ASSERT_GT(plat_wait(c, 1, 2000), 0);
            how = plat_connect_result(c);
        }
        EXPECT_EQ(how, PLAT_REFUSED) << ipv6;
        EXPECT_LT(plat_clock_ms() - t0, 1000u) << ipv6;
        plat_close(c);
    }
}

TEST_F(Platform, LocalAddressOfAConnection) {
    Bound server(SOCK_STREAM, 0, true);
    ASSERT_NE(server.port, 0);
    plat_sock c = plat_tcp_socket();
    ASSERT_NE(c, PLAT_NO_SOCK);
    const int how = plat_connect_loopback(c, server.port); // blocking: connected when it returns
    ASSERT_EQ(how, PLAT_CONNECTED);
    unsigned char addr[4] = {};
    int port = 0;
    ASSERT_EQ(plat_local_addr(c, addr, &port), 0);
    EXPECT_EQ(addr_text(0, addr), "127.0.0.1");
    EXPECT_NE(port, server.port);
    EXPECT_GT(port, 0);
    plat_close(c);
}

TEST_F(Platform, AddressParsing) { expect_address_parsing(); }

TEST_F(Platform, Ipv6ConnectionKnowsItsOwnEnd) {
    Bound server(SOCK_STREAM, 1, true);
    ASSERT_NE(server.port, 0) << "no IPv6 loopback";
    const unsigned char v6_loop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    plat_sock c = plat_tcp_socket_of(1);
    ASSERT_NE(c, PLAT_NO_SOCK);
    plat_set_nonblocking(c);
    int how = plat_connect_to(c, 1, v6_loop, server.port);
    if (how == PLAT_IN_PROGRESS) {
        ASSERT_GT(plat_wait(c, 1, 2000), 0);
        how = plat_connect_result(c);
    }
    ASSERT_EQ(how, PLAT_CONNECTED);
    unsigned char addr[16] = {};
    int ipv6 = -1, port = 0;
    ASSERT_EQ(plat_local_endpoint(c, &ipv6, addr, &port), 0);
    EXPECT_EQ(ipv6, 1);
    EXPECT_EQ(addr_text(1, addr), "::1");
    EXPECT_GT(port, 0);
    EXPECT_NE(port, server.port);
    unsigned char v4[4];
    EXPECT_EQ(plat_local_addr(c, v4, &port), -1);
    plat_close(c);
}

} // namespace

// "--linger": the copies of ImageNamesAreUtf8 wait to be ended; every other start runs
// the tests.
int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "--linger") == 0) {
        Sleep(60000);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
