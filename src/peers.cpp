#include "peers.h"

#include <cstdlib>
#include <cstring>

#include "detail.h"
#include "listeners.h"
#include "output.h"
#include "platform/platform.h"
#include "probe.h"
#include "query.h"
#include "target.h"

namespace {

int by_addr(const peer_group &a, const peer_group &b) {
    if (a.ipv6 != b.ipv6) return a.ipv6 < b.ipv6 ? -1 : 1;
    return memcmp(a.addr, b.addr, sizeof a.addr);
}

int by_addr_q(const void *a, const void *b) {
    return by_addr(*static_cast<const peer_group *>(a), *static_cast<const peer_group *>(b));
}

int by_count_q(const void *a, const void *b) {
    const peer_group &x = *static_cast<const peer_group *>(a);
    const peer_group &y = *static_cast<const peer_group *>(b);
    if (x.count != y.count) return x.count > y.count ? -1 : 1;
    return by_addr(x, y);
}

} // namespace

size_t peers_group(peer_group *addrs, size_t n, peer_group *groups) {
    if (n == 0) return 0;
    qsort(addrs, n, sizeof *addrs, by_addr_q);
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        if (k > 0 && by_addr(groups[k - 1], addrs[i]) == 0) {
            ++groups[k - 1].count;
            continue;
        }
        groups[k] = addrs[i];
        groups[k++].count = 1;
    }
    qsort(groups, k, sizeof *groups, by_count_q);
    return k;
}

namespace {

// What a port reading gathers besides the listener rows: every connection's local end
// and, beside it, its remote address.
struct peers_reading {
    conn_end *conns;
    peer_group *remote;
    size_t count, cap;
    int lost; // a connection could not be kept: the count would be short
};

void take_port(int list, const plat_endpoint *ep, void *ctx) {
    peers_reading &d = *static_cast<peers_reading *>(ctx);
    if (list == PLAT_TCP4_CONNS || list == PLAT_TCP6_CONNS) {
        if (ep->state != PLAT_TCP_ESTABLISHED || d.lost) return;
        if (d.count == d.cap) {
            const size_t cap = d.cap ? d.cap * 2 : 256;
            void *conns = realloc(d.conns, cap * sizeof *d.conns);
            if (conns) d.conns = static_cast<conn_end *>(conns);
            void *remote = conns ? realloc(d.remote, cap * sizeof *d.remote) : nullptr;
            if (!remote) {
                d.lost = 1;
                return;
            }
            d.remote = static_cast<peer_group *>(remote);
            d.cap = cap;
        }
        const int ipv6 = list == PLAT_TCP6_CONNS;
        conn_end &c = d.conns[d.count];
        peer_group &p = d.remote[d.count++];
        memcpy(c.addr, ep->addr, sizeof c.addr);
        c.port = port_of_field(ep->port_field);
        c.ipv6 = ipv6;
        c.netns = 0;
        // An IPv4 peer of a dual-stack socket is listed in its mapped form on Linux and
        // as IPv4 on Windows: named as the IPv4 address it is on both.
        memset(p.addr, 0, sizeof p.addr);
        memcpy(p.addr, ep->peer, ipv6 ? 16 : 4);
        p.ipv6 = ipv6;
        p.count = 0;
        addr_unmap(&p.ipv6, p.addr);
        return;
    }
    const int at = add_endpoint(list, ep, 0);
    if (at < 0) return;
    sock_row &r = g_socks[at];
    if (strcmp(r.bind_addr, "::") == 0) r.v6only = ep->v6only < 0 ? -1 : ep->v6only != 0;
}

// The listener the query names among the rows (in order): the one on addr, else the
// first; -1 when none.
int chosen_listener(const char *addr_text) {
    if (!addr_text[0]) return g_sock_count > 0 ? 0 : -1;
    int ipv6;
    unsigned char addr[16];
    if (plat_addr_parse(addr_text, &ipv6, addr) != 0) return -1;
    for (int i = 0; i < g_sock_count; ++i)
        if (g_socks[i].ipv6 == ipv6 && memcmp(g_socks[i].addr, addr, ipv6 ? 16 : 4) == 0) return i;
    return -1;
}

void write_body(const sock_row &r, const peer_group *groups, size_t n_groups, int32_t total) {
    out_lit("{\"ok\":true,\"action\":\"peers\",\"proto\":\"tcp\",\"bind_addr\":");
    json_str(r.bind_addr);
    out_lit(",\"port\":");
    out_int(r.port);
    out_lit(",\"total\":");
    out_int(total);
    out_lit(",\"peers\":[");
    int32_t named = 0;
    for (size_t k = 0; k < n_groups && k < PEERS_NAMED; ++k) {
        char text[64];
        if (plat_addr_text(groups[k].ipv6, groups[k].addr, text, sizeof text) != 0 || !text[0])
            strcpy(text, "unknown");
        if (k) out_lit(",");
        out_lit("{\"addr\":");
        json_str(text);
        out_lit(",\"count\":");
        out_int(groups[k].count);
        out_lit("}");
        named += groups[k].count;
    }
    out_lit("],\"other\":");
    out_int(total - named);
    out_lit("}\n");
}

// Reads the port's listeners and connections and writes the answer for the listener on
// addr (or the first), or its error.
void answer(int32_t port, const char *addr) {
    peers_reading d = {};
    g_sock_count = 0;
    const int readable = plat_port_read(port, take_port, &d);
    const int tcp = 1 << PLAT_TCP4 | 1 << PLAT_TCP6;
    const int at = chosen_listener(addr);
    if (at < 0) {
        // No listener is said to be missing from a list that could not be read.
        if ((readable & tcp) == tcp)
            out_lit("{\"ok\":false,\"error\":\"no such listener\"}\n");
        else
            write_tables_unreadable();
    } else {
        for (int i = 0; i < g_sock_count; ++i) g_socks[i].lists_read = readable;
        order_rows();
        const int chosen = chosen_listener(addr);
        count_conns(d.conns, d.count, d.lost ? 0 : ~0);
        if (g_socks[chosen].conns < 0) {
            out_lit("{\"ok\":false,\"error\":\"connections unreadable\"}\n");
        } else {
            // The chosen listener's remote addresses, gathered at the front.
            size_t n = 0;
            for (size_t k = 0; k < d.count; ++k)
                if (conn_listener(d.conns[k]) == chosen) d.remote[n++] = d.remote[k];
            peer_group *groups =
                n ? static_cast<peer_group *>(malloc(n * sizeof *groups)) : nullptr;
            if (n && !groups) {
                out_lit("{\"ok\":false,\"error\":\"connections unreadable\"}\n");
            } else {
                const size_t n_groups = peers_group(d.remote, n, groups);
                write_body(g_socks[chosen], groups, n_groups, static_cast<int32_t>(n));
            }
            free(groups);
        }
    }
    free(d.conns);
    free(d.remote);
}

} // namespace

void peers_action(const char *query, int gate_on) {
    // An open node never lists who is connected to it.
    if (!gate_on) {
        out_lit("{\"ok\":false,\"error\":\"peers are shown only behind a node password\"}\n");
        return;
    }
    const int32_t port = port_param(query);
    if (!port) return;
    char proto[8];
    const int has_proto = get_query_whole(query, "proto", proto, sizeof proto);
    if (has_proto < 0 || (has_proto > 0 && proto[0] && strcmp(proto, "tcp") != 0)) {
        out_lit("{\"ok\":false,\"error\":\"peers are told of tcp listeners only\"}\n");
        return;
    }
    // A text that names no address names no listener either.
    char addr[ADDR_PARAM_SIZE];
    if (get_query_whole(query, "addr", addr, sizeof addr) < 0) {
        out_lit("{\"ok\":false,\"error\":\"no such listener\"}\n");
        return;
    }
    answer(port, addr);
}
