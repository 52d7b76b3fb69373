// Windows side of the platform layer: the process start, the environment, clocks,
// addresses and TCP (Winsock 2 and the msvcrt runtime). The socket tables are in
// tables.cpp, the processes in procs.cpp and process.cpp.

// Vista is the oldest system with every call used here (inet_ntop, inet_pton). Set
// before any header, since the first runtime header fixes it.
#define _WIN32_WINNT 0x0600
#define WIN32_LEAN_AND_MEAN

#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// After the Winsock headers, which it builds on.
#include <mstcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "platform/sock_addr.h"
#include "platform/windows/procs.h"

// ---- process start --------------------------------------------------------

// Binary mode: in the runtime's default text mode every "\n" leaves the process as
// "\r\n", so the header lines would reach the hub as CR CR LF and no body would keep
// its bytes.
void plat_stdio_init() { _setmode(_fileno(stdout), _O_BINARY); }

namespace {

// No loader or fault dialog: in a service session nobody can answer one, and it would
// hold the request open until the hub gives up.
void quiet_errors() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

// DLLs that Winsock and IP Helper load by name later on would be looked for in the
// exe's folder first. Windows 8, and Vista and 7 with KB2533623, can keep every later
// load in System32; the call is looked up, since Vista's kernel32 may lack it. Without
// it the empty DLL directory at least drops the current directory from the search.
typedef BOOL(WINAPI *set_default_dll_directories_fn)(DWORD);

void dll_search_system32() {
    const set_default_dll_directories_fn set_default =
        reinterpret_cast<set_default_dll_directories_fn>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    SetDllDirectoryW(L"");
}

// Winsock finds its providers through paths that name %SystemRoot%; a CGI host may
// build the environment from scratch without it, and every socket then fails with
// WSAEPROVIDERFAILEDINIT. Set (and not empty) means the host chose it: left alone.
void system_root_set() {
    wchar_t one[1];
    if (GetEnvironmentVariableW(L"SystemRoot", one, 1) > 0) return;
    wchar_t dir[MAX_PATH];
    const UINT n = GetSystemWindowsDirectoryW(dir, MAX_PATH);
    if (n > 0 && n < MAX_PATH) SetEnvironmentVariableW(L"SystemRoot", dir);
}

// Before any other code of the program, the stack protector's start-up included: that
// seeds its guard with CryptGenRandom, whose cryptographic provider is a DLL loaded by
// name, which the exe's folder would otherwise offer first. Priorities below the
// default run first, and 101 is the first one a program may take.
__attribute__((constructor(101))) void harden_before_start() {
    quiet_errors();
    dll_search_system32();
}

} // namespace

// The process is made fit for a host's bare session before the socket library loads
// anything (the constructor above has done the first two already; doing them again
// costs nothing).
int plat_net_start() {
    quiet_errors();
    dll_search_system32();
    system_root_set();
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa) == 0 ? 0 : -1;
}

namespace {

// n wide characters as NUL-terminated UTF-8 in buf; 0 on success, -1 when it does not
// fit or, with WC_ERR_INVALID_CHARS in flags, holds an unpaired surrogate (without it,
// such a surrogate becomes U+FFFD).
int utf8_of(const wchar_t *w, size_t n, char *buf, size_t size, DWORD flags) {
    if (size == 0 || n > 0x7fffffff || size - 1 > 0x7fffffff) return -1;
    const int wide = static_cast<int>(n);
    const int got = wide ? WideCharToMultiByte(CP_UTF8, flags, w, wide, buf,
                                               static_cast<int>(size - 1), nullptr, nullptr)
                         : 0;
    if (wide && got <= 0) return -1;
    buf[got] = '\0';
    return 0;
}

// Upper case of an ASCII letter, every other character as it is (never by locale).
unsigned ascii_upper(unsigned c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

// A variable that is set but cannot be read ends the run without an answer: a
// password taken as unset or empty would open the gate.
[[noreturn]] void unreadable_variable() { exit(0); }

} // namespace

// The environment as Windows holds it, in UTF-16. msvcrt's getenv (and _wgetenv in a
// program with a narrow main) gives it through the ANSI code page, where a character
// outside the page becomes "?" or a look-alike: a password "пароль" would read as
// "??????" and then match "??????". The block is searched directly rather than through
// GetEnvironmentVariableW, which cuts a value at 32,767 characters: a CGI host may
// hand over more.
const char *plat_env(const char *name) {
    wchar_t *block = GetEnvironmentStringsW();
    if (!block) unreadable_variable();
    const size_t name_len = strlen(name);
    const char *value = nullptr;
    for (const wchar_t *entry = block; *entry; entry += wcslen(entry) + 1) {
        // Names compare without regard to case, as Windows compares them; the names
        // asked for are ASCII.
        size_t i = 0;
        while (i < name_len && ascii_upper(entry[i]) == ascii_upper(name[i])) ++i;
        if (i < name_len || entry[i] != L'=') continue;
        const wchar_t *wide = entry + i + 1;
        const size_t len = wcslen(wide);
        if (len == 0) {
            value = "";
            break;
        }
        // Invalid UTF-16 (an unpaired surrogate) makes the variable unreadable: turned
        // into U+FFFD, a password holding one would be matched by "pwd=%EF%BF%BD".
        const int bytes = len > 0x7fffffff ? 0
                                           : WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS,
                                                                 wide, static_cast<int>(len),
                                                                 nullptr, 0, nullptr, nullptr);
        char *utf8 = bytes > 0 ? static_cast<char *>(malloc(static_cast<size_t>(bytes) + 1)) : nullptr;
        if (!utf8 ||
            utf8_of(wide, len, utf8, static_cast<size_t>(bytes) + 1, WC_ERR_INVALID_CHARS) != 0)
            unreadable_variable();
        value = utf8;
        break;
    }
    FreeEnvironmentStringsW(block);
    return value;
}

// ---- clocks ---------------------------------------------------------------

// The performance counter: monotonic and finer than GetTickCount64's 10-16 ms steps,
// which would round every loopback connection to 0 or one tick.
uint64_t plat_clock_ms() {
    LARGE_INTEGER freq, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    const uint64_t f = static_cast<uint64_t>(freq.QuadPart);
    const uint64_t c = static_cast<uint64_t>(now.QuadPart);
    // Whole seconds first: c * 1000 overflows after months of uptime at GHz rates.
    return c / f * 1000u + c % f * 1000u / f;
}

int plat_utc_now(struct tm *out) {
    const __time64_t now = _time64(nullptr);
    return _gmtime64_s(out, &now) == 0 ? 0 : -1;
}

// ---- addresses ----------------------------------------------------------------

int plat_addr_text(int ipv6, const unsigned char *addr, char *buf, size_t size) {
    // inet_ntop takes a writable pointer on older SDKs.
    void *src = const_cast<unsigned char *>(addr);
    return inet_ntop(ipv6 ? AF_INET6 : AF_INET, src, buf, size) ? 0 : -1;
}

int plat_addr_parse(const char *text, int *ipv6, unsigned char addr[16]) {
    return sock_addr_parse(text, ipv6, addr);
}

int win_utf8(const wchar_t *w, size_t n, char *buf, size_t size) {
    return utf8_of(w, n, buf, size, 0);
}

// ---- TCP --------------------------------------------------------------------

namespace {

int outcome_of(int err) {
    if (err == 0) return PLAT_CONNECTED;
    if (err == WSAECONNREFUSED) return PLAT_REFUSED;
    return PLAT_FAILED;
}

SOCKET sock_of(plat_sock s) { return static_cast<SOCKET>(s); }

} // namespace

plat_sock plat_tcp_socket_of(int ipv6) {
    const SOCKET s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? PLAT_NO_SOCK : static_cast<plat_sock>(s);
}

void plat_set_nonblocking(plat_sock s) {
    u_long on = 1;
    ioctlsocket(sock_of(s), FIONBIO, &on);
}

int plat_connect_to(plat_sock s, int ipv6, const unsigned char *addr, int port, uint32_t scope_id) {
    // Windows sends the SYN again after a reset, even on loopback, so a refused port
    // would take the whole wait. Without retransmissions a reset ends the attempt at
    // once. Windows 8 and later know this; older systems refuse it and wait as before.
    TCP_INITIAL_RTO_PARAMETERS rto;
    rto.Rtt = TCP_INITIAL_RTO_UNSPECIFIED_RTT;
    rto.MaxSynRetransmissions = TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS;
    DWORD unused = 0;
    WSAIoctl(sock_of(s), SIO_TCP_INITIAL_RTO, &rto, sizeof rto, nullptr, 0, &unused, nullptr,
             nullptr);
    sockaddr_storage to;
    const int len = sock_addr_make(ipv6, addr, port, scope_id, &to);
    // A link-local address names a host only with its interface, and this host may hold
    // it on another interface than the zone's: the connection leaves from the address
    // itself, which binds only on an interface that holds it, so it never reaches
    // another host. Without a known zone Windows would pick an interface itself, which
    // may lead to another host: no connection then (Linux refuses one too).
    if (sock_addr_link_local(ipv6, addr)) {
        if (!scope_id) return PLAT_FAILED;
        sockaddr_storage from = to;
        reinterpret_cast<sockaddr_in6 *>(&from)->sin6_port = 0;
        if (bind(sock_of(s), reinterpret_cast<const sockaddr *>(&from), len) != 0)
            return PLAT_FAILED;
    }
    if (connect(sock_of(s), reinterpret_cast<const sockaddr *>(&to), len) == 0)
        return PLAT_CONNECTED;
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return PLAT_IN_PROGRESS;
    return outcome_of(err);
}

// A connection wait watches the exception set too: Winsock reports a failed
// connection attempt there alone, never in the write set.
int plat_wait(plat_sock s, int for_write, int64_t ms) {
    fd_set set, failed;
    FD_ZERO(&set);
    FD_SET(sock_of(s), &set);
    FD_ZERO(&failed);
    FD_SET(sock_of(s), &failed);
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>(ms % 1000 * 1000);
    return select(0, for_write ? nullptr : &set, for_write ? &set : nullptr,
                  for_write ? &failed : nullptr, &tv);
}

int plat_connect_result(plat_sock s) {
    int err = 0;
    int len = sizeof err;
    getsockopt(sock_of(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len);
    return outcome_of(err);
}

int plat_local_endpoint(plat_sock s, int *ipv6, unsigned char addr[16], int *port) {
    sockaddr_storage a;
    memset(&a, 0, sizeof a);
    int len = sizeof a;
    if (getsockname(sock_of(s), reinterpret_cast<sockaddr *>(&a), &len) != 0) return -1;
    return sock_addr_read(&a, ipv6, addr, port);
}

long plat_send(plat_sock s, const void *data, size_t len) {
    const int n = len > 0x7fffffff ? 0x7fffffff : static_cast<int>(len);
    return send(sock_of(s), static_cast<const char *>(data), n, 0);
}

long plat_recv(plat_sock s, void *buf, size_t len) {
    const int n = len > 0x7fffffff ? 0x7fffffff : static_cast<int>(len);
    return recv(sock_of(s), static_cast<char *>(buf), n, 0);
}

void plat_close(plat_sock s) { closesocket(sock_of(s)); }
