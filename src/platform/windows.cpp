// Windows side of the platform layer: Winsock 2, the IP Helper tables, the kernel's
// process and time calls and the msvcrt runtime.

// Vista is the oldest system with every call used here (inet_ntop,
// QueryFullProcessImageNameA, PROCESS_QUERY_LIMITED_INFORMATION). Set before any
// header, since the first runtime header fixes it.
#define _WIN32_WINNT 0x0600
#define WIN32_LEAN_AND_MEAN

#include "platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// The IP Helper declarations build on the Winsock ones above.
#include <iphlpapi.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "table_fetch.h"

// ---- process start --------------------------------------------------------

// Binary mode: in the runtime's default text mode every "\n" leaves the process as
// "\r\n", so the header lines would reach the hub as CR CR LF and no body would keep
// its bytes.
void plat_stdio_init() { _setmode(_fileno(stdout), _O_BINARY); }

int plat_net_start() {
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa) == 0 ? 0 : -1;
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

// ---- endpoint tables, owners and image paths --------------------------------

void plat_tables_open() {}
void plat_tables_close() {}

namespace {

struct table_kind {
    int proto;
    ULONG family;
};

// One call of the table function in the size protocol: buf null asks for the size.
uint32_t table_call(void *buf, uint32_t *size, void *ctx) {
    const table_kind *k = static_cast<const table_kind *>(ctx);
    DWORD n = *size;
    DWORD rc;
    if (k->proto == PLAT_TCP)
        rc = GetExtendedTcpTable(buf, &n, FALSE, k->family, TCP_TABLE_OWNER_PID_LISTENER, 0);
    else
        rc = GetExtendedUdpTable(buf, &n, FALSE, k->family, UDP_TABLE_OWNER_PID, 0);
    *size = n;
    return rc;
}

plat_endpoint endpoint(const void *addr, size_t addr_len, DWORD port, DWORD state, DWORD pid) {
    plat_endpoint ep;
    memset(&ep, 0, sizeof ep);
    memcpy(ep.addr, addr, addr_len);
    ep.port_field = port;
    ep.state = state;
    ep.pid = pid;
    return ep;
}

plat_endpoint endpoint_of(const MIB_TCPROW_OWNER_PID &r) {
    return endpoint(&r.dwLocalAddr, 4, r.dwLocalPort, r.dwState, r.dwOwningPid);
}

plat_endpoint endpoint_of(const MIB_TCP6ROW_OWNER_PID &r) {
    return endpoint(r.ucLocalAddr, 16, r.dwLocalPort, r.dwState, r.dwOwningPid);
}

plat_endpoint endpoint_of(const MIB_UDPROW_OWNER_PID &r) {
    return endpoint(&r.dwLocalAddr, 4, r.dwLocalPort, 0, r.dwOwningPid);
}

plat_endpoint endpoint_of(const MIB_UDP6ROW_OWNER_PID &r) {
    return endpoint(r.ucLocalAddr, 16, r.dwLocalPort, 0, r.dwOwningPid);
}

// Every row of a fetched table in table order, but no more rows than the buffer
// holds, whatever the count says.
template<typename Table>
void walk(const void *buf, uint32_t size, plat_endpoint_fn fn, void *ctx) {
    const Table *t = static_cast<const Table *>(buf);
    if (size < offsetof(Table, table)) return;
    const size_t room = (size - offsetof(Table, table)) / sizeof t->table[0];
    const size_t n = t->dwNumEntries < room ? t->dwNumEntries : room;
    for (size_t i = 0; i < n; ++i) {
        const plat_endpoint ep = endpoint_of(t->table[i]);
        fn(&ep, ctx);
    }
}

} // namespace

int plat_table_read(int proto, int ipv6, plat_endpoint_fn fn, void *ctx) {
    table_kind kind = {proto, static_cast<ULONG>(ipv6 ? AF_INET6 : AF_INET)};
    uint32_t size = 0;
    void *buf = table_fetch(table_call, &kind, &size);
    if (!buf) return -1;
    if (proto == PLAT_TCP && !ipv6) walk<MIB_TCPTABLE_OWNER_PID>(buf, size, fn, ctx);
    if (proto == PLAT_TCP && ipv6) walk<MIB_TCP6TABLE_OWNER_PID>(buf, size, fn, ctx);
    if (proto == PLAT_UDP && !ipv6) walk<MIB_UDPTABLE_OWNER_PID>(buf, size, fn, ctx);
    if (proto == PLAT_UDP && ipv6) walk<MIB_UDP6TABLE_OWNER_PID>(buf, size, fn, ctx);
    free(buf);
    return 0;
}

int plat_addr_text(int ipv6, const unsigned char *addr, char *buf, size_t size) {
    // inet_ntop takes a writable pointer on older SDKs.
    void *src = const_cast<unsigned char *>(addr);
    return inet_ntop(ipv6 ? AF_INET6 : AF_INET, src, buf, size) ? 0 : -1;
}

int plat_image_path(uint32_t pid, char *buf, size_t size) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!h) return -1;
    char path[MAX_PATH];
    DWORD len = MAX_PATH;
    const BOOL ok = QueryFullProcessImageNameA(h, 0, path, &len);
    CloseHandle(h);
    // A path cut short would name another file: no path at all is better.
    if (!ok || len >= size) return -1;
    memcpy(buf, path, len);
    buf[len] = '\0';
    return 0;
}

char plat_path_sep() { return '\\'; }

// ---- loopback TCP -----------------------------------------------------------

namespace {

int outcome_of(int err) {
    if (err == 0) return PLAT_CONNECTED;
    if (err == WSAECONNREFUSED) return PLAT_REFUSED;
    return PLAT_FAILED;
}

SOCKET sock_of(plat_sock s) { return static_cast<SOCKET>(s); }

} // namespace

plat_sock plat_tcp_socket() {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? PLAT_NO_SOCK : static_cast<plat_sock>(s);
}

void plat_set_nonblocking(plat_sock s) {
    u_long on = 1;
    ioctlsocket(sock_of(s), FIONBIO, &on);
}

int plat_connect_loopback(plat_sock s, int port) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port & 0xffff));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock_of(s), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0)
        return PLAT_CONNECTED;
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return PLAT_IN_PROGRESS;
    return outcome_of(err);
}

// Only the one set asked for is watched. Winsock reports a refused connection in the
// exception set alone, so a connect wait on a refused port runs to its time-out.
int plat_wait(plat_sock s, int for_write, int64_t ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock_of(s), &set);
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>(ms % 1000 * 1000);
    return select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, &tv);
}

int plat_connect_result(plat_sock s) {
    int err = 0;
    int len = sizeof err;
    getsockopt(sock_of(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len);
    return outcome_of(err);
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
