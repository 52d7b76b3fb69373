// The Windows socket tables: IP Helper, loaded from System32 alone; this host's
// addresses; one process snapshot per reading that names the owners; the image path of
// a process.

// Vista is the oldest system with every call used here (QueryFullProcessImageNameW,
// PROCESS_QUERY_LIMITED_INFORMATION, GetUnicastIpAddressTable). Set before any header,
// since the first runtime header fixes it.
#define _WIN32_WINNT 0x0600
#define WIN32_LEAN_AND_MEAN

#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// The IP Helper declarations build on the Winsock ones above.
#include <iphlpapi.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <tlhelp32.h>

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "platform/sock_addr.h"
#include "platform/windows/names.h"
#include "platform/windows/procs.h"
#include "platform/windows/table_fetch.h"

namespace {

// ---- IP Helper, from System32 only

// IPHLPAPI.DLL is no known DLL: imported, it would be looked for first in the exe's
// own folder, where whoever may write there could plant one and run code with the
// hub's rights. So it is loaded by hand, from the system folder alone.
typedef DWORD(WINAPI *tcp_table_fn)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);
typedef DWORD(WINAPI *udp_table_fn)(PVOID, PDWORD, BOOL, ULONG, UDP_TABLE_CLASS, ULONG);
typedef DWORD(WINAPI *unicast_table_fn)(ADDRESS_FAMILY, PMIB_UNICASTIPADDRESS_TABLE *);
typedef void(WINAPI *free_table_fn)(PVOID);

struct iphlpapi {
    int tried;
    tcp_table_fn tcp;
    udp_table_fn udp;
    unicast_table_fn unicast;
    free_table_fn free_table;
};
iphlpapi g_iphlpapi;

template<typename Fn>
Fn proc_of(HMODULE dll, const char *name) {
    // GetProcAddress's type says nothing; the function's own is the one above.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
}

const iphlpapi &iphlpapi_loaded() {
    iphlpapi &l = g_iphlpapi;
    if (l.tried) return l;
    l.tried = 1;
    HMODULE dll = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Vista and 7 without the update that brought the flag refuse it: the full path
    // then, with the DLL's own dependencies looked for beside it.
    if (!dll && GetLastError() == ERROR_INVALID_PARAMETER) {
        static const wchar_t file[] = L"\\iphlpapi.dll";
        wchar_t path[MAX_PATH];
        const UINT n = GetSystemDirectoryW(path, MAX_PATH);
        if (n > 0 && n + sizeof file / sizeof *file <= MAX_PATH) {
            memcpy(path + n, file, sizeof file);
            dll = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
    }
    // Kept for the rest of the run.
    if (dll) {
        l.tcp = proc_of<tcp_table_fn>(dll, "GetExtendedTcpTable");
        l.udp = proc_of<udp_table_fn>(dll, "GetExtendedUdpTable");
        l.unicast = proc_of<unicast_table_fn>(dll, "GetUnicastIpAddressTable");
        l.free_table = proc_of<free_table_fn>(dll, "FreeMibTable");
    }
    return l;
}

} // namespace

namespace {

// ---- this host's addresses

// This host's unicast addresses of one family (Vista and later); null when they cannot
// be read. unicast_free releases them.
MIB_UNICASTIPADDRESS_TABLE *unicast_read(int ipv6) {
    const iphlpapi &l = iphlpapi_loaded();
    MIB_UNICASTIPADDRESS_TABLE *table = nullptr;
    if (!l.unicast || !l.free_table ||
        l.unicast(static_cast<ADDRESS_FAMILY>(ipv6 ? AF_INET6 : AF_INET), &table) != NO_ERROR)
        return nullptr;
    return table;
}

void unicast_free(MIB_UNICASTIPADDRESS_TABLE *table) {
    if (table) iphlpapi_loaded().free_table(table);
}

// A row of the unicast address table that holds the address. A duplicate one (another
// host of the link answered for it) or an invalid one is not this host's.
bool row_holds(const MIB_UNICASTIPADDRESS_ROW &row, int ipv6, const unsigned char *addr) {
    if (row.DadState == IpDadStateInvalid || row.DadState == IpDadStateDuplicate) return false;
    if (ipv6)
        return row.Address.si_family == AF_INET6 &&
               memcmp(&row.Address.Ipv6.sin6_addr, addr, 16) == 0;
    return row.Address.si_family == AF_INET && memcmp(&row.Address.Ipv4.sin_addr, addr, 4) == 0;
}

// The zone of a link-local IPv6 address a socket is bound to (fe80::/10; 0 for any
// other address). The socket table's scope id is in network byte order, as Microsoft
// documents it; it is taken when an interface that holds the address has that zone
// (the address table's ScopeId). Where the address table cannot be read no zone is
// known: 0, and no probe of the address.
// Otherwise (Wine puts the address's scope level there) the one interface that holds
// the address gives it, and several or none give 0. *unicast is the IPv6 address
// table, read at the first need.
uint32_t link_zone(const unsigned char *addr, DWORD table_scope,
                   MIB_UNICASTIPADDRESS_TABLE **unicast, int *tried) {
    if (!sock_addr_link_local(1, addr)) return 0;
    const uint32_t zone = ntohl(table_scope);
    if (!*tried) {
        *tried = 1;
        *unicast = unicast_read(1);
    }
    if (!*unicast) return 0;
    uint32_t only = 0;
    int holders = 0;
    for (ULONG i = 0; i < (*unicast)->NumEntries; ++i) {
        const MIB_UNICASTIPADDRESS_ROW &row = (*unicast)->Table[i];
        if (!row_holds(row, 1, addr)) continue;
        // The row's zone as Microsoft documents it, in ScopeId (the address's own
        // sin6_scope_id is not said to hold it).
        const uint32_t row_zone = row.ScopeId.Zone;
        if (row_zone == zone) return zone;
        only = row_zone;
        ++holders;
    }
    return holders == 1 ? only : 0;
}

} // namespace

// ---- the process snapshot

// Every process's image file name, without opening any process: a hub without
// administrator rights may not open other accounts' processes, and System (pid 4)
// has no image path at all.
struct win_process_name {
    DWORD pid;
    DWORD ppid; // the parent's id as it was at this one's creation
    wchar_t name[MAX_PATH];
    // The process's creation time once asked for (created_known 1), or that it could
    // not be had (-1).
    int created_known;
    uint64_t created;
};

namespace {

int by_pid(const void *a, const void *b) {
    const DWORD x = static_cast<const win_process_name *>(a)->pid;
    const DWORD y = static_cast<const win_process_name *>(b)->pid;
    return x < y ? -1 : x > y;
}

} // namespace

void win_names_take(win_names *names) {
    *names = win_names();
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    // ERROR_BAD_LENGTH: the process list changed while it was copied.
    if (snap == INVALID_HANDLE_VALUE && GetLastError() == ERROR_BAD_LENGTH)
        snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W e;
    e.dwSize = sizeof e;
    size_t cap = 0;
    for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e)) {
        if (names->count == cap) {
            const size_t grown = cap ? cap * 2 : 256;
            void *p = realloc(names->procs, grown * sizeof *names->procs);
            if (!p) break; // the names found so far still serve
            names->procs = static_cast<win_process_name *>(p);
            cap = grown;
        }
        win_process_name &n = names->procs[names->count++];
        n.pid = e.th32ProcessID;
        n.created_known = 0;
        n.ppid = e.th32ParentProcessID;
        memcpy(n.name, e.szExeFile, sizeof n.name);
        n.name[MAX_PATH - 1] = L'\0';
        e.dwSize = sizeof e;
    }
    CloseHandle(snap);
    if (names->count > 1) qsort(names->procs, names->count, sizeof *names->procs, by_pid);
}

void win_names_free(win_names *names) {
    free(names->procs);
    *names = win_names();
}

namespace {

win_process_name *names_entry(const win_names *names, uint32_t pid) {
    win_process_name key;
    key.pid = pid;
    return static_cast<win_process_name *>(
        bsearch(&key, names->procs, names->count, sizeof key, by_pid));
}

} // namespace

int win_names_find(const win_names *names, uint32_t pid, char *buf, size_t size) {
    const win_process_name *p = names_entry(names, pid);
    if (!p || !p->name[0]) return -1;
    return win_utf8(p->name, wcslen(p->name), buf, size);
}

int win_pid_reused(win_names *names, uint32_t pid, uint64_t read_at) {
    // Asked once per process of the snapshot: a process owns many rows.
    win_process_name *p = names ? names_entry(names, pid) : nullptr;
    win_process_name alone = {};
    if (!p) p = &alone;
    if (!p->created_known) p->created_known = win_process_created(pid, &p->created) == 0 ? 1 : -1;
    return p->created_known == 1 && p->created > read_at;
}

uint64_t win_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}

int win_names_parent(const win_names *names, uint32_t pid, uint32_t *ppid) {
    const win_process_name *p = names_entry(names, pid);
    if (!p) return -1;
    *ppid = p->ppid;
    return 0;
}

namespace {

struct table_kind {
    int tcp;
    ULONG family;
    int all_states; // TCP: every connection, not the listeners alone
};

// One call of the table function in the size protocol: buf null asks for the size.
uint32_t table_call(void *buf, uint32_t *size, void *ctx) {
    const table_kind *k = static_cast<const table_kind *>(ctx);
    const iphlpapi &l = iphlpapi_loaded();
    DWORD n = *size;
    DWORD rc;
    if (k->tcp)
        rc = l.tcp
                 ? l.tcp(buf, &n, FALSE, k->family,
                         k->all_states ? TCP_TABLE_OWNER_PID_ALL : TCP_TABLE_OWNER_PID_LISTENER, 0)
                 : ERROR_NOT_SUPPORTED;
    else
        rc = l.udp ? l.udp(buf, &n, FALSE, k->family, UDP_TABLE_OWNER_PID, 0) : ERROR_NOT_SUPPORTED;
    *size = n;
    return rc;
}

// The scope id stays as the table holds it: the walk makes it a zone.
plat_endpoint endpoint(const void *addr, size_t addr_len, DWORD port, DWORD state, DWORD pid,
                       DWORD scope_id = 0) {
    plat_endpoint ep;
    memset(&ep, 0, sizeof ep);
    memcpy(ep.addr, addr, addr_len);
    ep.scope_id = scope_id;
    ep.port_field = port;
    ep.state = state;
    ep.pid = pid;
    // The table names one owner and no account, queue or v6-only setting.
    ep.holders = pid ? 1 : 0;
    ep.account = -1;
    ep.queue = ep.backlog = ep.v6only = -1;
    return ep;
}

// A TCP row names the remote end too (zero for a listener).
plat_endpoint endpoint_of(const MIB_TCPROW_OWNER_PID &r) {
    plat_endpoint ep = endpoint(&r.dwLocalAddr, 4, r.dwLocalPort, r.dwState, r.dwOwningPid);
    memcpy(ep.peer, &r.dwRemoteAddr, 4);
    ep.peer_port_field = r.dwRemotePort;
    return ep;
}

plat_endpoint endpoint_of(const MIB_TCP6ROW_OWNER_PID &r) {
    plat_endpoint ep =
        endpoint(r.ucLocalAddr, 16, r.dwLocalPort, r.dwState, r.dwOwningPid, r.dwLocalScopeId);
    memcpy(ep.peer, r.ucRemoteAddr, 16);
    ep.peer_port_field = r.dwRemotePort;
    return ep;
}

plat_endpoint endpoint_of(const MIB_UDPROW_OWNER_PID &r) {
    return endpoint(&r.dwLocalAddr, 4, r.dwLocalPort, 0, r.dwOwningPid);
}

plat_endpoint endpoint_of(const MIB_UDP6ROW_OWNER_PID &r) {
    return endpoint(r.ucLocalAddr, 16, r.dwLocalPort, 0, r.dwOwningPid, r.dwLocalScopeId);
}

// Room for a snapshot name as UTF-8: at most three bytes for each of its characters.
enum { LISTED_NAME_SIZE = MAX_PATH * 3 + 1 };

// One list's table as fetched; buf null when it could not be read. A detail reading
// takes the TCP table with every connection in it. read_at is when the table call
// returned (FILETIME ticks): every owner it names was alive then.
struct fetched_table {
    void *buf;
    uint32_t size;
    int all_states;
    uint64_t read_at;
};

// What every row of one reading is joined with.
struct reading {
    // The process snapshot that names the owners; empty when the addresses alone are
    // wanted, and then no owner is checked either.
    win_names names;
    int owners;
    plat_endpoint_fn fn;
    void *ctx;
    // The IPv6 addresses of this host, once a link-local socket needs its zone.
    MIB_UNICASTIPADDRESS_TABLE *unicast;
    int unicast_tried;
};

// Every row of a fetched table in table order (those in state alone, when it is not
// 0), but no more rows than the buffer holds, whatever the count says. An owner whose
// pid now names a process created after the table was read is gone, its pid taken by
// another: the row keeps the socket with its owner unknown rather than name that one.
template<typename Table>
void walk(const fetched_table &f, int list, reading &r, uint32_t state = 0) {
    const Table *t = static_cast<const Table *>(f.buf);
    if (f.size < offsetof(Table, table)) return;
    const size_t room = (f.size - offsetof(Table, table)) / sizeof t->table[0];
    const size_t n = t->dwNumEntries < room ? t->dwNumEntries : room;
    char listed[LISTED_NAME_SIZE];
    for (size_t i = 0; i < n; ++i) {
        plat_endpoint ep = endpoint_of(t->table[i]);
        if (state && ep.state != state) continue;
        if (list == PLAT_TCP6 || list == PLAT_UDP6 || list == PLAT_TCP6_CONNS)
            ep.scope_id = link_zone(ep.addr, ep.scope_id, &r.unicast, &r.unicast_tried);
        if (ep.pid && r.owners && win_pid_reused(&r.names, ep.pid, f.read_at))
            ep.pid = ep.holders = 0;
        if (ep.pid && win_names_find(&r.names, ep.pid, listed, sizeof listed) == 0)
            ep.listed_name = listed;
        r.fn(list, &ep, r.ctx);
    }
}

// A TCP table of every connection: its listeners as the list, then its established
// connections as the list's connection list.
template<typename Table>
void walk_connections(const fetched_table &f, int list, reading &r) {
    walk<Table>(f, list, r, PLAT_TCP_LISTEN);
    walk<Table>(f, list == PLAT_TCP4 ? PLAT_TCP4_CONNS : PLAT_TCP6_CONNS, r, PLAT_TCP_ESTABLISHED);
}

fetched_table fetch_list(int list, int flags) {
    const int tcp = list == PLAT_TCP4 || list == PLAT_TCP6;
    const int ipv6 = list == PLAT_TCP6 || list == PLAT_UDP6;
    const int detail = tcp && (flags & PLAT_DETAIL);
    table_kind kind = {tcp, static_cast<ULONG>(ipv6 ? AF_INET6 : AF_INET), detail};
    fetched_table t = {nullptr, 0, detail, 0};
    t.buf = table_fetch(table_call, &kind, &t.size);
    t.read_at = win_now();
    return t;
}

void walk_list(int list, const fetched_table &t, reading &r) {
    if (t.all_states) {
        if (list == PLAT_TCP4) walk_connections<MIB_TCPTABLE_OWNER_PID>(t, list, r);
        if (list == PLAT_TCP6) walk_connections<MIB_TCP6TABLE_OWNER_PID>(t, list, r);
        return;
    }
    if (list == PLAT_TCP4) walk<MIB_TCPTABLE_OWNER_PID>(t, list, r);
    if (list == PLAT_TCP6) walk<MIB_TCP6TABLE_OWNER_PID>(t, list, r);
    if (list == PLAT_UDP4) walk<MIB_UDPTABLE_OWNER_PID>(t, list, r);
    if (list == PLAT_UDP6) walk<MIB_UDP6TABLE_OWNER_PID>(t, list, r);
}

} // namespace

// The bit of the connection list a detail reading of list brings along, or 0.
static int with_connections(int list, int flags) {
    if (!(flags & PLAT_DETAIL)) return 0;
    if (list == PLAT_TCP4) return 1 << PLAT_TCP4_CONNS;
    return list == PLAT_TCP6 ? 1 << PLAT_TCP6_CONNS : 0;
}

// The last reading of this run read a table.
static bool g_read_any;

// The tables first, then one process snapshot that names every list's owners: a
// process that starts to listen between the two is in the snapshot, with its name.
// A reading that looks for owners first enables the debugging privilege where the
// hub's token holds it (an elevated hub), so that every process may be opened.
// Windows has one network stack: every endpoint is of the program's own (netns 0).
int plat_tables_read(const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx, int flags,
                     plat_netns_fn) {
    fetched_table tables[PLAT_LISTS] = {};
    for (int k = 0; k < PLAT_LISTS; ++k)
        if (order[k] >= 0 && order[k] < PLAT_LISTS) tables[k] = fetch_list(order[k], flags);
    reading r = {{}, !(flags & PLAT_ADDRESSES), fn, ctx, nullptr, 0};
    if (r.owners) {
        win_debug_privilege();
        win_names_take(&r.names);
    }
    int readable = 0;
    for (int k = 0; k < PLAT_LISTS; ++k) {
        if (!tables[k].buf) continue;
        walk_list(order[k], tables[k], r);
        free(tables[k].buf);
        readable |= 1 << order[k] | with_connections(order[k], flags);
    }
    win_names_free(&r.names);
    unicast_free(r.unicast);
    g_read_any = readable != 0;
    return readable;
}

namespace {

struct port_filter {
    uint32_t port_field;
    plat_endpoint_fn fn;
    void *ctx;
};

void take_on_port(int list, const plat_endpoint *ep, void *ctx) {
    const port_filter &f = *static_cast<const port_filter *>(ctx);
    if ((ep->port_field & 0xffffu) == f.port_field) f.fn(list, ep, f.ctx);
}

} // namespace

// The TCP tables with every state hold the listeners and their connections together.
int plat_port_read(int port, plat_endpoint_fn fn, void *ctx) {
    static const int order[PLAT_LISTS] = {PLAT_TCP4, PLAT_TCP6, -1, -1};
    if (port < 1 || port > 65535) return 0;
    // The port field holds the port in network order in its low 16 bits.
    const unsigned char net[2] = {static_cast<unsigned char>(port >> 8),
                                  static_cast<unsigned char>(port)};
    uint16_t field;
    memcpy(&field, net, sizeof field);
    port_filter f = {field, fn, ctx};
    return plat_tables_read(order, take_on_port, &f, PLAT_DETAIL | PLAT_ADDRESSES, nullptr);
}

int plat_reader() { return g_read_any ? PLAT_READER_WINDOWS_TABLES : PLAT_READER_NONE; }

// The addresses of this host's interfaces, from IP Helper's unicast address table.
int plat_addr_is_local(int ipv6, const unsigned char *addr) {
    // An IPv4-mapped address is the IPv4 address it maps.
    if (sock_addr_mapped(ipv6, addr)) return plat_addr_is_local(0, addr + 12);
    if (sock_addr_loopback(ipv6, addr)) return 1;
    MIB_UNICASTIPADDRESS_TABLE *table = unicast_read(ipv6);
    if (!table) return 0;
    int local = 0;
    for (ULONG i = 0; i < table->NumEntries && !local; ++i)
        local = row_holds(table->Table[i], ipv6, addr);
    unicast_free(table);
    return local;
}

// Room for the longest path Windows has (32,767 characters and the terminator).
// Static: too big for a stack frame.
static wchar_t g_image_path[32768];

int win_path_name(uint32_t pid, char *buf, size_t size) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!h) return -1;
    DWORD len = sizeof g_image_path / sizeof *g_image_path;
    const BOOL ok = QueryFullProcessImageNameW(h, 0, g_image_path, &len);
    CloseHandle(h);
    if (!ok || len == 0) return -1;
    // Searched in the wide text: in the East Asian code pages a character's second byte
    // may be 0x5C, the backslash.
    const wchar_t *base = g_image_path;
    for (DWORD i = 0; i < len; ++i)
        if (g_image_path[i] == L'\\') base = g_image_path + i + 1;
    const size_t n = len - static_cast<size_t>(base - g_image_path);
    if (n == 0) return -1;
    return win_utf8(base, n, buf, size);
}

// Processes the hub may not open are named from the process snapshot instead, which
// reaches the logic with each endpoint.
int plat_image_name(uint32_t pid, char *buf, size_t size) { return win_path_name(pid, buf, size); }
