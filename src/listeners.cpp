#include "listeners.h"

#include <cstdlib>
#include <cstring>

#include "output.h"
#include "platform/platform.h"

sock_row g_socks[MAX_ROWS];
int32_t g_sock_count;
// How many rows this answer's table may hold.
static int32_t g_sock_cap = MAX_SOCKS;

// Room for the image file's name as the system gives it: a file name has at most 255
// UTF-16 units on Windows and 255 bytes on Linux (plus the kernel's " (deleted)").
enum { IMAGE_NAME_SIZE = 1024 };

int scope_of(const char *t) {
    if (!t[0]) return SCOPE_SPECIFIC;
    // An IPv4-mapped address is that IPv4 address: ::ffff:127.0.0.1 is reached through
    // 127.0.0.1, ::ffff:0.0.0.0 takes every IPv4 address.
    if (strncmp(t, "::ffff:", 7) == 0 && strchr(t + 7, '.')) return scope_of(t + 7);
    if (strcmp(t, "0.0.0.0") == 0 || strcmp(t, "::") == 0 || strcmp(t, "*") == 0)
        return SCOPE_WILDCARD;
    if (strncmp(t, "127.", 4) == 0 || strcmp(t, "::1") == 0) return SCOPE_LOOPBACK;
    return SCOPE_SPECIFIC;
}

// Copies at most cap - 1 bytes of src and terminates.
static void copy_cut(char *dst, size_t cap, const char *src) {
    const size_t n = strnlen(src, cap - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// Base name of the owner's image file, or empty when it cannot be had. The answer
// is UTF-8, so a name that is not (a Linux file name may hold any byte) is written
// as a browser would show it, and the cut never splits a character.
static void image_name(uint32_t pid, char *comm, size_t cap) {
    comm[0] = '\0';
    if (pid == 0) return;
    char name[IMAGE_NAME_SIZE];
    if (plat_image_name(pid, name, sizeof name) != 0) return;
    utf8_copy(comm, cap, name);
}

void addr_unmap(int32_t *ipv6, unsigned char *addr) {
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (!*ipv6 || memcmp(addr, mapped, sizeof mapped) != 0) return;
    memmove(addr, addr + 12, 4);
    memset(addr + 4, 0, 12);
    *ipv6 = 0;
}

int32_t port_of_field(uint32_t port_field) {
    // The low 16 bits hold the port as the network sends it: high byte first in memory.
    const uint16_t net = static_cast<uint16_t>(port_field & 0xffffu);
    unsigned char b[2];
    memcpy(b, &net, sizeof b);
    return b[0] << 8 | b[1];
}

void win_add_row(const char *proto, int ipv6, const void *addr, uint32_t port_field, uint32_t pid) {
    const int32_t port = port_of_field(port_field);
    // A dropped socket is dropped before any lookup: the rows are the same either way.
    if (g_sock_count >= g_sock_cap || port == 0) return;

    sock_row &r = g_socks[g_sock_count++];
    copy_cut(r.proto, sizeof r.proto, proto);
    if (plat_addr_text(ipv6, static_cast<const unsigned char *>(addr), r.bind_addr,
                       sizeof r.bind_addr) != 0 ||
        !r.bind_addr[0])
        strcpy(r.bind_addr, "unknown");
    r.bind_addr[sizeof r.bind_addr - 1] = '\0';
    r.port = port;
    r.scope = scope_of(r.bind_addr);
    // A mapped address's scope comes from its IPv4 bytes, whatever text the system
    // writes for it: Wine writes ::ffff:0.0.0.0 as ::ffff:0:0.
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    char v4[16];
    if (ipv6 && memcmp(addr, mapped, sizeof mapped) == 0 &&
        plat_addr_text(0, static_cast<const unsigned char *>(addr) + 12, v4, sizeof v4) == 0)
        r.scope = scope_of(v4);
    r.pid = static_cast<int32_t>(pid);
    image_name(pid, r.comm, sizeof r.comm);
    r.holders = 0;
    r.queue = r.backlog = r.conns = r.v6only = -1;
    r.account = -1;
    r.netns = 0;
    r.lists_read = 0;
    r.unread = 0;
    r.ipv6 = ipv6 != 0;
    memset(r.addr, 0, sizeof r.addr);
    memcpy(r.addr, addr, ipv6 ? 16 : 4);
}

int add_endpoint(int list, const plat_endpoint *ep, uint32_t pid) {
    const bool tcp = list == PLAT_TCP4 || list == PLAT_TCP6;
    if (tcp && ep->state != PLAT_TCP_LISTEN) return -1;
    const int32_t at = g_sock_count;
    win_add_row(tcp ? "tcp" : "udp", list == PLAT_TCP6 || list == PLAT_UDP6, ep->addr,
                ep->port_field, pid);
    if (g_sock_count == at) return -1;
    // An owner the image lookup may not open (another account's, the system's) still
    // has its name in the system's process list.
    if (pid && pid == ep->pid && !g_socks[at].comm[0] && ep->listed_name)
        utf8_copy(g_socks[at].comm, sizeof g_socks[at].comm, ep->listed_name);
    return at;
}

static void take_endpoint(int list, const plat_endpoint *ep, void *) {
    add_endpoint(list, ep, ep->pid);
}

int enumerate_sockets(plat_endpoint_fn fn, void *ctx, int flags, plat_netns_fn ns_fn) {
    g_sock_count = 0;
    g_sock_cap = flags & PLAT_DETAIL ? int32_t{MAX_ROWS} : int32_t{MAX_SOCKS};
    // TCP listeners first: should the table fill up, a host with thousands of UDP
    // sockets (a resolver, a busy client) must not push its servers out of the answer.
    // Below the cap the order makes no difference once the rows are sorted.
    // A list that cannot be read contributes nothing; the others still count.
    static const int passes[PLAT_LISTS] = {PLAT_TCP4, PLAT_TCP6, PLAT_UDP4, PLAT_UDP6};
    const int readable = plat_tables_read(passes, fn ? fn : take_endpoint, ctx, flags, ns_fn);
    g_sock_cap = int32_t{MAX_SOCKS};
    return readable;
}

static bool row_after(const sock_row &a, const sock_row &b) {
    if (a.port != b.port) return a.port > b.port;
    return strcmp(a.proto, b.proto) > 0;
}

// Rows by row_after, and equal rows in table order: qsort is not stable by itself.
static int by_row(const void *a, const void *b) {
    const int i = *static_cast<const int16_t *>(a), j = *static_cast<const int16_t *>(b);
    if (row_after(g_socks[i], g_socks[j])) return 1;
    if (row_after(g_socks[j], g_socks[i])) return -1;
    return i - j;
}

void order_rows() {
    const int n = g_sock_count;
    if (n < 2) return;
    // The row numbers are sorted, then each row moves once: sorting the rows of over 200
    // bytes themselves would copy megabytes for a full table. Static: the stack may be
    // small.
    static int16_t order[MAX_ROWS];
    for (int i = 0; i < n; ++i) order[i] = static_cast<int16_t>(i);
    qsort(order, static_cast<size_t>(n), sizeof *order, by_row);
    // Position k takes row order[k]; follow each cycle with one spare row.
    for (int start = 0; start < n; ++start) {
        if (order[start] == start) continue;
        const sock_row spare = g_socks[start];
        int k = start;
        while (order[k] != start) {
            const int from = order[k];
            g_socks[k] = g_socks[from];
            order[k] = static_cast<int16_t>(k);
            k = from;
        }
        g_socks[k] = spare;
        order[k] = static_cast<int16_t>(k);
    }
}

void write_endpoint_keys(const sock_row &r) {
    out_lit("{\"proto\":");
    json_str(r.proto);
    out_lit(",\"bind_addr\":");
    json_str(r.bind_addr);
    out_lit(",\"port\":");
    out_int(r.port);
}

const char *scope_word(int32_t scope) {
    if (scope == SCOPE_LOOPBACK) return "loopback";
    if (scope == SCOPE_WILDCARD) return "wildcard";
    return "specific";
}

void write_listeners_body() {
    write_listeners_body_with(listeners_more{nullptr, nullptr, nullptr});
}

void write_listeners_body_with(const listeners_more &more) {
    int32_t tcp = 0, udp = 0, scopes[3] = {0, 0, 0};
    for (int i = 0; i < g_sock_count; ++i) {
        const sock_row &r = g_socks[i];
        ++scopes[r.scope == SCOPE_LOOPBACK || r.scope == SCOPE_WILDCARD ? r.scope : SCOPE_SPECIFIC];
        if (strcmp(r.proto, "udp") == 0)
            ++udp;
        else
            ++tcp;
    }
    out_lit("{\"ok\":true,\"action\":\"listeners\",\"source\":\"");
    out_lit("windows-tables");
    out_lit("\",\"count\":");
    out_int(g_sock_count);
    out_lit(",\"summary\":{\"tcp\":");
    out_int(tcp);
    out_lit(",\"udp\":");
    out_int(udp);
    out_lit(",\"loopback\":");
    out_int(scopes[SCOPE_LOOPBACK]);
    out_lit(",\"wildcard\":");
    out_int(scopes[SCOPE_WILDCARD]);
    out_lit(",\"specific\":");
    out_int(scopes[SCOPE_SPECIFIC]);
    out_lit("},\"listeners\":[");
    for (int i = 0; i < g_sock_count; ++i) {
        const sock_row &r = g_socks[i];
        if (i) out_lit(",");
        write_endpoint_keys(r);
        out_lit(",\"scope\":");
        json_str(scope_word(r.scope));
        out_lit(",\"pid\":");
        out_int(r.pid);
        out_lit(",\"comm\":");
        json_str(r.comm);
        if (more.row) more.row(r, more.ctx);
        out_lit("}");
    }
    if (more.after) {
        out_lit("]");
        more.after(more.ctx);
        out_lit("}\n");
    } else {
        out_lit("]}\n");
    }
}

void write_tables_unreadable() {
    out_lit("{\"ok\":false,\"error\":\"socket tables unreadable\"}\n");
}

void listeners_action() {
    if (enumerate_sockets() == 0) {
        write_tables_unreadable();
        return;
    }
    order_rows();
    write_listeners_body();
}
