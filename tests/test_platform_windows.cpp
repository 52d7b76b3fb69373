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
#include "platform/windows/lookup.h"
#include "platform/windows/names.h"
#include "platform/windows/procs.h"
#include "platform/windows/scm.h"
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
bool running_under_wine() {
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");
    return wine;
}

bool owner_matches(const plat_endpoint &ep) {
    return ep.pid == GetCurrentProcessId() || (running_under_wine() && ep.pid == 0);
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

std::wstring env_w(const wchar_t *name) {
    wchar_t buf[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(name, buf, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(buf, n) : L"(unset)";
}

// A host may build the environment without SystemRoot, which Winsock needs to load its
// providers: the start-up puts it back from the system, and leaves a host's own value
// alone.
TEST_F(Platform, StartUpMendsSystemRoot) {
    const std::wstring before = env_w(L"SystemRoot");
    wchar_t windir[MAX_PATH];
    const UINT n = GetSystemWindowsDirectoryW(windir, MAX_PATH);
    ASSERT_GT(n, 0u);
    for (const wchar_t *missing : {static_cast<const wchar_t *>(nullptr), L""}) {
        SetEnvironmentVariableW(L"SystemRoot", missing);
        ASSERT_EQ(plat_net_start(), 0);
        EXPECT_EQ(env_w(L"SystemRoot"), std::wstring(windir, n));
        // The environment the program reads its variables from sees it too.
        const char *seen = plat_env("SYSTEMROOT");
        EXPECT_TRUE(seen && *seen);
    }
    SetEnvironmentVariableW(L"SystemRoot", L"D:\\Win");
    ASSERT_EQ(plat_net_start(), 0);
    EXPECT_EQ(env_w(L"SystemRoot"), L"D:\\Win");
    SetEnvironmentVariableW(L"SystemRoot", before.c_str());
}

// After the start-up no dialog can hold a request open, and a DLL is never loaded from
// the exe's folder by its name alone (ports_beside.dll lies there and nowhere else).
// Seen as main began, before GoogleTest or any test ran: the program's constructor had
// hardened the process before the stack protector's start-up loaded anything.
UINT g_mode_at_main;
HMODULE g_beside_at_main;

TEST_F(Platform, HardenedBeforeMain) {
    const UINT quiet = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
    EXPECT_EQ(g_mode_at_main & quiet, quiet);
    EXPECT_EQ(g_beside_at_main, nullptr);
}

TEST_F(Platform, StartUpHardensTheProcess) {
    // GoogleTest sets these modes itself when it starts.
    SetErrorMode(0);
    ASSERT_EQ(plat_net_start(), 0);
    const UINT quiet = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
    EXPECT_EQ(GetErrorMode() & quiet, quiet);
    HMODULE by_name = LoadLibraryW(L"ports_beside.dll");
    EXPECT_EQ(by_name, nullptr);
    if (by_name) FreeLibrary(by_name);
    // The control: asked for explicitly, the exe's folder has it.
    HMODULE beside =
        LoadLibraryExW(L"ports_beside.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
    EXPECT_NE(beside, nullptr);
    if (beside) FreeLibrary(beside);
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

// A detail reading takes the TCP table of every connection: the listeners as the list,
// the established connections as its connection list.
TEST_F(Platform, DetailReadingBringsTheConnections) {
    Bound server(SOCK_STREAM, 0, true);
    ASSERT_NE(server.port, 0);
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(server.port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    SOCKET peer = accept(server.s, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);
    static const int order[PLAT_LISTS] = {PLAT_TCP4, PLAT_TCP6, PLAT_UDP4, PLAT_UDP6};
    struct seen {
        int list, port;
        plat_endpoint ep;
    };
    std::vector<seen> got;
    const int readable = plat_tables_read(
        order,
        [](int list, const plat_endpoint *ep, void *ctx) {
            static_cast<std::vector<seen> *>(ctx)->push_back(
                {list, ntohs(static_cast<u_short>(ep->port_field & 0xffff)), *ep});
        },
        &got, PLAT_DETAIL);
    closesocket(peer);
    closesocket(client);
    EXPECT_EQ(readable, (1 << PLAT_ALL_LISTS) - 1);
    int listeners = 0, accepted = 0, last_list = -1;
    bool in_order = true;
    for (const seen &s : got) {
        if (s.list == PLAT_TCP4 && s.port == server.port) {
            ++listeners;
            EXPECT_EQ(s.ep.state, uint32_t{PLAT_TCP_LISTEN});
            EXPECT_EQ(s.ep.holders, s.ep.pid ? 1u : 0u); // the table names one owner
            EXPECT_EQ(s.ep.queue, -1);
            EXPECT_EQ(s.ep.v6only, -1);
            EXPECT_EQ(s.ep.account, -1);
        }
        if (s.list == PLAT_TCP4_CONNS) {
            EXPECT_EQ(s.ep.state, uint32_t{PLAT_TCP_ESTABLISHED});
            accepted += s.port == server.port;
        }
        // Each connection list right after its TCP list.
        if (s.list != last_list) {
            if (s.list == PLAT_TCP4_CONNS) in_order = in_order && last_list == PLAT_TCP4;
            if (s.list == PLAT_TCP6_CONNS) in_order = in_order && last_list == PLAT_TCP6;
            last_list = s.list;
        }
    }
    EXPECT_EQ(listeners, 1);
    EXPECT_EQ(accepted, 1);
    EXPECT_TRUE(in_order);
}

// One port's reading: the listener and the connection accepted on it, with the
// connection's remote end as the table names it; the tables are what was read.
TEST_F(Platform, PortReadingNamesTheRemoteEnd) {
    Bound server(SOCK_STREAM, 0, true);
    Bound other(SOCK_STREAM, 0, true);
    ASSERT_NE(server.port, 0);
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(server.port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    sockaddr_in mine = {};
    int len = sizeof mine;
    getsockname(client, reinterpret_cast<sockaddr *>(&mine), &len);
    SOCKET peer = accept(server.s, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);
    struct seen {
        int list, port;
        plat_endpoint ep;
    };
    std::vector<seen> got;
    const int readable = plat_port_read(
        server.port,
        [](int list, const plat_endpoint *ep, void *ctx) {
            static_cast<std::vector<seen> *>(ctx)->push_back(
                {list, ntohs(static_cast<u_short>(ep->port_field & 0xffff)), *ep});
        },
        &got);
    closesocket(peer);
    closesocket(client);
    EXPECT_EQ(readable & (1 << PLAT_TCP4 | 1 << PLAT_TCP4_CONNS),
              1 << PLAT_TCP4 | 1 << PLAT_TCP4_CONNS);
    EXPECT_EQ(plat_reader(), PLAT_READER_WINDOWS_TABLES);
    int listeners = 0, conns = 0;
    for (const seen &s : got) {
        EXPECT_EQ(s.port, server.port); // nothing of another port, the client's end included
        if (s.list == PLAT_TCP4) ++listeners;
        if (s.list != PLAT_TCP4_CONNS) continue;
        ++conns;
        EXPECT_EQ(addr_text(0, s.ep.peer), "127.0.0.1");
        EXPECT_EQ(ntohs(static_cast<u_short>(s.ep.peer_port_field & 0xffff)), ntohs(mine.sin_port));
    }
    EXPECT_EQ(listeners, 1);
    EXPECT_EQ(conns, 1);
}

// This process's own facts come from its token; it runs no service.
TEST_F(Platform, OwnProcessFacts) {
    plat_process p;
    plat_process_facts(GetCurrentProcessId(), &p);
    char token[160];
    ASSERT_EQ(win_token_account(GetCurrentProcessId(), token, sizeof token), 0);
    EXPECT_NE(strchr(token, '\\'), nullptr) << token; // DOMAIN\name
    EXPECT_STREQ(p.user, token);
    EXPECT_STREQ(p.service, "");
    EXPECT_STREQ(p.container, "");
    char small[4];
    EXPECT_EQ(win_token_account(GetCurrentProcessId(), small, sizeof small), -1);
    EXPECT_EQ(win_service_account(GetCurrentProcessId(), token, sizeof token), -1);
    EXPECT_EQ(plat_service_manager_pid(), 0u);
    EXPECT_EQ(plat_account_name(0, token, sizeof token), -1);
    // Process 0 and a process that does not exist have no facts.
    for (uint32_t pid : {0u, 0xFFFFFFF1u}) {
        plat_process_facts(pid, &p);
        EXPECT_STREQ(p.user, "");
        EXPECT_STREQ(p.service, "");
    }
    char system[160];
    ASSERT_EQ(win_system_account(system, sizeof system), 0);
    EXPECT_NE(strstr(system, "SYSTEM"), nullptr) << system;
}

long debug_privilege_state();

// The process answer, like a reading that names owners, enables the debugging privilege
// the token holds before it opens anything (the first question of a run takes the
// snapshot, so this test comes first of those that ask).
TEST_F(Platform, ProcessAnswerEnablesTheDebugPrivilegeHeld) {
    ASSERT_NE(debug_privilege_state(), -1) << "the token lacks SeDebugPrivilege";
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    TOKEN_PRIVILEGES off = {1, {{{0, 0}, 0}}};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &off.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &off, 0, nullptr, nullptr));
    CloseHandle(token);
    ASSERT_EQ(debug_privilege_state() & SE_PRIVILEGE_ENABLED, 0);
    plat_proc_entry e;
    ASSERT_EQ(plat_proc_entry_of(GetCurrentProcessId(), &e), 0);
    EXPECT_EQ(debug_privilege_state() & SE_PRIVILEGE_ENABLED, SE_PRIVILEGE_ENABLED);
}

// This process as the process answer sees it: from the snapshot (named exactly: pid + 1
// opens this process too, but names none), its handle and its creation time.
TEST_F(Platform, OwnProcessForTheProcessAnswer) {
    const uint32_t self = GetCurrentProcessId();
    FILETIME created, exited, kernel, user;
    ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user));
    uint64_t ticks = 0;
    ASSERT_EQ(win_process_created(self, &ticks), 0);
    EXPECT_EQ(ticks, static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime);
    plat_proc_entry e;
    ASSERT_EQ(plat_proc_entry_of(self, &e), 0);
    EXPECT_STREQ(e.name, "platform_tests.exe");
    EXPECT_EQ(e.started, static_cast<int64_t>(ticks) - 116444736000000000LL);
    const int64_t age = plat_time_now() - e.started;
    EXPECT_TRUE(age > 0 && age < 600LL * 10000000) << age;
    EXPECT_EQ(plat_proc_entry_of(self + 1, &e), -1);
    EXPECT_EQ(plat_proc_entry_of(0xFFFFFFF0u, &e), -1);
    EXPECT_EQ(plat_pid_max(), 0xFFFFFFFFu);

    plat_proc_more m;
    plat_proc_more_of(self, 1, &m);
    wchar_t path[MAX_PATH];
    char utf8[MAX_PATH * 3];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_EQ(win_utf8(path, n, utf8, sizeof utf8), 0);
    ASSERT_EQ(m.exe_state, PLAT_READ);
    EXPECT_STREQ(m.exe, utf8);
    EXPECT_EQ(m.exe_deleted, -1);
    EXPECT_EQ(m.cwd_state, PLAT_NONE);
    // Windows 8.1 and later tell the command line; Wine, like older systems, refuses.
    if (m.cmdline_state == PLAT_READ) {
        const wchar_t *line = GetCommandLineW();
        ASSERT_EQ(win_utf8(line, wcslen(line), utf8, sizeof utf8), 0);
        EXPECT_STREQ(m.cmdline, utf8);
        EXPECT_EQ(m.cmdline_len, strlen(utf8) + 1);
    } else {
        EXPECT_EQ(m.cmdline_state, PLAT_DENIED);
        EXPECT_TRUE(running_under_wine());
    }
    plat_proc_more_of(self, 0, &m);
    EXPECT_EQ(m.cmdline_state, PLAT_NONE);
}

// The services of a process as the service control manager lists them, joined in
// name order. Wine's manager may list none with a process: then there is nothing to
// compare, and the joining is tested natively.
TEST_F(Platform, ServicesOfAProcess) {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    ASSERT_NE(scm, nullptr);
    std::vector<BYTE> buf(262144);
    DWORD needed = 0, count = 0, resume = 0;
    const BOOL ok =
        EnumServicesStatusExW(scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, buf.data(),
                              static_cast<DWORD>(buf.size()), &needed, &count, &resume, nullptr);
    CloseServiceHandle(scm);
    ASSERT_TRUE(ok);
    const ENUM_SERVICE_STATUS_PROCESSW *s =
        reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW *>(buf.data());
    int hosts = 0;
    for (DWORD i = 0; i < count; ++i) {
        const DWORD pid = s[i].ServiceStatusProcess.dwProcessId;
        if (pid == 0) continue;
        ++hosts;
        char name[256], joined[1024];
        ASSERT_EQ(win_utf8(s[i].lpServiceName, wcslen(s[i].lpServiceName), name, sizeof name), 0);
        ASSERT_GE(win_services_of(pid, joined, sizeof joined), 1);
        // Its name is one of the joined ones.
        const std::string list = std::string(",") + joined + ",";
        EXPECT_NE(list.find(std::string(",") + name + ","), std::string::npos) << joined;
        plat_process p;
        plat_process_facts(pid, &p);
        EXPECT_STREQ(p.service, joined);
        // What the service is set to run as; a standard user may read it for most
        // services, and under Wine for all.
        char start[160] = "";
        const int rc = win_service_account(pid, start, sizeof start);
        if (rc == 0 || running_under_wine()) {
            EXPECT_EQ(rc, 0) << joined;
            EXPECT_NE(start[0], '\0') << joined;
        }
    }
    char none[16] = "x";
    EXPECT_EQ(win_services_of(GetCurrentProcessId(), none, sizeof none), 0);
    EXPECT_STREQ(none, "");
    printf("services with a process: %d\n", hosts);
}

// A process the service manager lists with a service, 0 when it lists none.
DWORD a_service_process() {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    std::vector<BYTE> buf(262144);
    DWORD needed = 0, count = 0, resume = 0, pid = 0;
    if (scm &&
        EnumServicesStatusExW(scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, buf.data(),
                              static_cast<DWORD>(buf.size()), &needed, &count, &resume, nullptr)) {
        const ENUM_SERVICE_STATUS_PROCESSW *s =
            reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW *>(buf.data());
        for (DWORD i = 0; i < count && !pid; ++i) pid = s[i].ServiceStatusProcess.dwProcessId;
    }
    if (scm) CloseServiceHandle(scm);
    return pid;
}

SC_HANDLE WINAPI refused_open(LPCWSTR, LPCWSTR, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

BOOL WINAPI refused_enumerate(SC_HANDLE, SC_ENUM_TYPE, DWORD, DWORD, LPBYTE, DWORD, LPDWORD,
                              LPDWORD, LPDWORD, LPCWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// An account that may not open the service manager or enumerate its services (IIS's
// anonymous user, a network logon) learns no service, and the run says so; a manager
// that answers leaves nothing unreadable.
TEST_F(Platform, ServicesThatCannotBeListedAreSaidUnreadable) {
    const DWORD pid = a_service_process();
    ASSERT_NE(pid, 0u) << "the service manager lists no service with a process";
    const win_scm_calls real = g_win_scm;
    plat_process p;
    for (int which = 0; which < 2; ++which) {
        if (which)
            g_win_scm.enumerate = refused_enumerate;
        else
            g_win_scm.open = refused_open;
        win_services_forget();
        EXPECT_EQ(plat_facts_unreadable(), 0) << which; // nothing read yet
        plat_process_facts(pid, &p);
        EXPECT_STREQ(p.service, "") << which;
        EXPECT_EQ(plat_facts_unreadable(), int{PLAT_FACT_SERVICES}) << which;
        g_win_scm = real;
    }
    win_services_forget();
    plat_process_facts(pid, &p);
    EXPECT_STRNE(p.service, "");
    EXPECT_EQ(plat_facts_unreadable(), 0);
}

BOOL WINAPI slow_sid_lookup(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD name_len,
                            LPWSTR domain, LPDWORD domain_len, PSID_NAME_USE use) {
    Sleep(1100);
    return LookupAccountSidW(system, sid, name, name_len, domain, domain_len, use);
}

// Lookups that do not answer (a domain controller gone) hold the answer no longer than
// the run's budget and one call: then no more are made, and the run says so.
TEST_F(Platform, SlowAccountLookupsStopAfterTheirBudget) {
    const DWORD self = GetCurrentProcessId();
    const win_lookup_calls real = g_win_lookup;
    g_win_lookup.sid = slow_sid_lookup;
    win_lookups_forget();
    char user[160];
    const uint64_t start = plat_clock_ms();
    EXPECT_EQ(win_token_account(self, user, sizeof user), 0); // 1.1 s: within the budget
    EXPECT_EQ(plat_facts_unreadable() & PLAT_FACT_ACCOUNTS, 0);
    EXPECT_EQ(win_token_account(self, user, sizeof user), 0); // 2.2 s: past it
    EXPECT_EQ(plat_facts_unreadable() & PLAT_FACT_ACCOUNTS, int{PLAT_FACT_ACCOUNTS});
    for (int i = 0; i < 5; ++i) EXPECT_EQ(win_token_account(self, user, sizeof user), -1);
    EXPECT_LT(plat_clock_ms() - start, 2 * 1100 + 1000u);
    g_win_lookup = real;
    win_lookups_forget();
    EXPECT_EQ(win_token_account(self, user, sizeof user), 0);
    EXPECT_EQ(plat_facts_unreadable() & PLAT_FACT_ACCOUNTS, 0);
}

std::string sid_name(WELL_KNOWN_SID_TYPE type) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD n = sizeof sid;
    wchar_t name[256], domain[256];
    DWORD name_len = 256, domain_len = 256;
    SID_NAME_USE use;
    if (!CreateWellKnownSid(type, nullptr, sid, &n) ||
        !LookupAccountSidW(nullptr, sid, name, &name_len, domain, &domain_len, &use))
        return "(none)";
    const std::wstring w = std::wstring(domain) + L"\\" + name;
    char utf8[512];
    return win_utf8(w.c_str(), w.size(), utf8, sizeof utf8) == 0 ? utf8 : "(none)";
}

// A service's configured account reads as the process token of that service would
// name it, whichever spelling the service manager keeps.
TEST_F(Platform, ServiceAccountsAreNamedAsTheirSids) {
    char name[160];
    ASSERT_EQ(win_start_account(L"NT AUTHORITY\\LocalService", name, sizeof name), 0);
    EXPECT_EQ(name, sid_name(WinLocalServiceSid)); // NT AUTHORITY\LOCAL SERVICE in English
    // The service manager takes the name in any case.
    ASSERT_EQ(win_start_account(L"nt authority\\NetworkService", name, sizeof name), 0);
    EXPECT_EQ(name, sid_name(WinNetworkServiceSid));
    // A name that names no account stays as written.
    ASSERT_EQ(win_start_account(L"NOSUCHDOMAIN\\nobody", name, sizeof name), 0);
    EXPECT_STREQ(name, "NOSUCHDOMAIN\\nobody");
}

// The attributes of SeDebugPrivilege in this process's token; -1 when it lacks it.
long debug_privilege_state() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return -1;
    std::vector<BYTE> buf(8192);
    DWORD n = 0;
    long state = -1;
    LUID debug;
    if (LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &debug) &&
        GetTokenInformation(token, TokenPrivileges, buf.data(), static_cast<DWORD>(buf.size()),
                            &n)) {
        const TOKEN_PRIVILEGES *p = reinterpret_cast<TOKEN_PRIVILEGES *>(buf.data());
        for (DWORD i = 0; i < p->PrivilegeCount; ++i)
            if (p->Privileges[i].Luid.LowPart == debug.LowPart &&
                p->Privileges[i].Luid.HighPart == debug.HighPart)
                state = static_cast<long>(p->Privileges[i].Attributes);
    }
    CloseHandle(token);
    return state;
}

// A reading that names owners enables the debugging privilege the token holds (Wine's
// token holds it, disabled, as an elevated administrator's does); a reading of the
// addresses alone, the probe's, leaves the token as it is.
TEST_F(Platform, OwnerReadingEnablesTheDebugPrivilegeHeld) {
    ASSERT_NE(debug_privilege_state(), -1) << "the token lacks SeDebugPrivilege";
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    TOKEN_PRIVILEGES off = {1, {{{0, 0}, 0}}};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &off.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &off, 0, nullptr, nullptr));
    CloseHandle(token);
    static const int order[PLAT_LISTS] = {PLAT_TCP4, -1, -1, -1};
    auto ignore = [](int, const plat_endpoint *, void *) {};
    plat_tables_read(order, ignore, nullptr, PLAT_ADDRESSES);
    EXPECT_EQ(debug_privilege_state() & SE_PRIVILEGE_ENABLED, 0);
    plat_tables_read(order, ignore, nullptr);
    EXPECT_EQ(debug_privilege_state() & SE_PRIVILEGE_ENABLED, SE_PRIVILEGE_ENABLED);
}

// A process created after a table was read cannot be the owner the table names: its
// pid was given anew. One created before may be.
TEST_F(Platform, APidGivenAnewIsNoOwner) {
    const uint64_t before = win_now();
    Sleep(20); // past the system clock's tick
    Copy copy(L"later.exe");
    ASSERT_TRUE(copy.running);
    const DWORD pid = copy.pi.dwProcessId;
    uint64_t created = 0;
    ASSERT_EQ(win_process_created(pid, &created), 0);
    EXPECT_GT(created, before);
    win_names names;
    win_names_take(&names);
    for (win_names *snapshot : {static_cast<win_names *>(nullptr), &names}) {
        EXPECT_EQ(win_pid_reused(snapshot, pid, before), 1);
        EXPECT_EQ(win_pid_reused(snapshot, pid, win_now()), 0);
        // A process that cannot be asked is left as the table names it.
        EXPECT_EQ(win_pid_reused(snapshot, 0xFFFFFFF1u, before), 0);
    }
    win_names_free(&names);
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
        int how = ipv6 ? plat_connect_to(c, 1, v6_loop, port, 0) : plat_connect_loopback(c, port);
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
    int how = plat_connect_to(c, 1, v6_loop, server.port, 0);
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

// ---- Interfaces of the test's own ----------------------------------------------
// Run by tests/windows/interfaces.py alone, in a network namespace whose interface
// ports0 holds 198.51.100.7/24 and fe80::7; PORTS_TEST_SCOPE is that interface's index.
class Interfaces : public Platform {};

int is_local(const char *text) {
    int ipv6 = 0;
    unsigned char addr[16];
    if (plat_addr_parse(text, &ipv6, addr) != 0) return -1;
    return plat_addr_is_local(ipv6, addr);
}

// An address is this host's when an interface holds it or it is loopback; a neighbour
// on the same subnet, another network or a wildcard is not.
TEST_F(Interfaces, AddressesOfThisHost) {
    for (const char *local :
         {"127.0.0.1", "127.9.9.9", "::1", "198.51.100.7", "fe80::7", "::ffff:198.51.100.7"})
        EXPECT_EQ(is_local(local), 1) << local;
    for (const char *other : {"198.51.100.8", "203.0.113.7", "2001:db8::7", "fe80::8", "0.0.0.0",
                              "::", "::ffff:203.0.113.7"})
        EXPECT_EQ(is_local(other), 0) << other;
}

// A link-local listener's rows carry the interface it is bound to, and a connection
// reaches it through that interface alone.
TEST_F(Interfaces, LinkLocalSocketsKeepTheirScope) {
    const char *scope_text = getenv("PORTS_TEST_SCOPE");
    ASSERT_NE(scope_text, nullptr) << "run by tests/windows/interfaces.py";
    const uint32_t scope = static_cast<uint32_t>(strtoul(scope_text, nullptr, 10));
    sockaddr_in6 at = {};
    at.sin6_family = AF_INET6;
    ASSERT_EQ(inet_pton(AF_INET6, "fe80::7", &at.sin6_addr), 1);
    at.sin6_scope_id = scope;
    SOCKET sockets[2] = {socket(AF_INET6, SOCK_STREAM, 0), socket(AF_INET6, SOCK_DGRAM, 0)};
    int ports[2] = {};
    for (int i = 0; i < 2; ++i) {
        sockaddr_in6 bound = at;
        int len = sizeof bound;
        ASSERT_EQ(bind(sockets[i], reinterpret_cast<sockaddr *>(&bound), sizeof bound), 0) << i;
        if (i == 0) {
            ASSERT_EQ(listen(sockets[i], 4), 0);
        }
        getsockname(sockets[i], reinterpret_cast<sockaddr *>(&bound), &len);
        ports[i] = ntohs(bound.sin6_port);
    }
    const plat_endpoint *tcp = nullptr, *udp = nullptr;
    const std::vector<plat_endpoint> tcp_rows = read_table(PLAT_TCP6),
                                     udp_rows = read_table(PLAT_UDP6);
    tcp = find_port(tcp_rows, ports[0]);
    udp = find_port(udp_rows, ports[1]);
    ASSERT_NE(tcp, nullptr);
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(addr_text(1, tcp->addr), "fe80::7");
    EXPECT_EQ(tcp->scope_id, scope);
    EXPECT_EQ(udp->scope_id, scope);
    for (uint32_t through : {scope, 0u}) {
        plat_sock c = plat_tcp_socket_of(1);
        ASSERT_NE(c, PLAT_NO_SOCK);
        plat_set_nonblocking(c);
        int how = plat_connect_to(c, 1, tcp->addr, ports[0], through);
        // Without a zone nothing is sent: Windows would choose an interface itself.
        if (!through) {
            EXPECT_EQ(how, PLAT_FAILED);
        }
        if (how == PLAT_IN_PROGRESS) how = plat_wait(c, 1, 2000) > 0 ? plat_connect_result(c) : -1;
        EXPECT_EQ(how == PLAT_CONNECTED, through == scope) << through << ": " << how;
        plat_close(c);
    }
    for (SOCKET s : sockets) closesocket(s);
}

} // namespace

// "--linger": the copies of ImageNamesAreUtf8 wait to be ended; every other start runs
// the tests.
int main(int argc, char **argv) {
    g_mode_at_main = GetErrorMode();
    g_beside_at_main = LoadLibraryW(L"ports_beside.dll");
    if (g_beside_at_main) FreeLibrary(g_beside_at_main);
    if (argc > 1 && strcmp(argv[1], "--linger") == 0) {
        Sleep(60000);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
