#include "detail.h"

#include <cstdlib>
#include <cstring>

#include "listeners.h"
#include "output.h"
#include "platform/platform.h"
#include "policy.h"

uint32_t serving_pid(uint32_t lowest, uint32_t next, uint32_t manager) {
    return lowest && lowest == manager && next ? next : lowest;
}

namespace {

bool all_zero(const unsigned char *a, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i]) return false;
    return true;
}

size_t addr_len(int32_t ipv6) { return ipv6 ? 16 : 4; }

bool is_tcp(const sock_row &r) { return strcmp(r.proto, "tcp") == 0; }

// The first row on port (rows in order), or g_sock_count.
int first_on_port(int32_t port) {
    int lo = 0, hi = g_sock_count;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (g_socks[mid].port < port)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

} // namespace

int conn_listener(const conn_end &c) {
    int wildcard = -1, dual = -1;
    for (int i = first_on_port(c.port); i < g_sock_count && g_socks[i].port == c.port; ++i) {
        const sock_row &r = g_socks[i];
        if (!is_tcp(r)) continue;
        const bool any = all_zero(r.addr, addr_len(r.ipv6));
        if (r.ipv6 == c.ipv6) {
            if (memcmp(r.addr, c.addr, addr_len(c.ipv6)) == 0) return i;
            if (any && wildcard < 0) wildcard = i;
        } else if (r.ipv6 && any && r.v6only != 1 && dual < 0) {
            // Windows lists the IPv4 connections a dual-stack socket accepted as IPv4.
            dual = i;
        }
    }
    return wildcard >= 0 ? wildcard : dual;
}

void count_conns(const conn_end *conns, size_t n, int conns_read) {
    const bool v4 = conns_read & 1 << PLAT_TCP4_CONNS, v6 = conns_read & 1 << PLAT_TCP6_CONNS;
    for (int i = 0; i < g_sock_count; ++i) {
        sock_row &r = g_socks[i];
        if (!is_tcp(r)) continue;
        // A dual-stack socket's IPv4 connections may sit in the IPv4 list.
        const bool dual = r.ipv6 && r.v6only != 1 && all_zero(r.addr, 16);
        r.conns = (r.ipv6 ? v6 : v4) && (!dual || v4) ? 0 : -1;
    }
    for (size_t k = 0; k < n; ++k) {
        const int i = conn_listener(conns[k]);
        if (i >= 0 && g_socks[i].conns >= 0) ++g_socks[i].conns;
    }
}

namespace {

// What a detail reading gathers besides the rows.
struct detail_reading {
    uint32_t manager;
    conn_end *conns;
    size_t count, cap;
    int lost; // a connection could not be kept: the counts would be short
};

void take_detail(int list, const plat_endpoint *ep, void *ctx) {
    detail_reading &d = *static_cast<detail_reading *>(ctx);
    if (list == PLAT_TCP4_CONNS || list == PLAT_TCP6_CONNS) {
        if (ep->state != PLAT_TCP_ESTABLISHED || d.lost) return;
        if (d.count == d.cap) {
            const size_t cap = d.cap ? d.cap * 2 : 1024;
            void *grown = realloc(d.conns, cap * sizeof *d.conns);
            if (!grown) {
                d.lost = 1;
                return;
            }
            d.conns = static_cast<conn_end *>(grown);
            d.cap = cap;
        }
        conn_end &c = d.conns[d.count++];
        memcpy(c.addr, ep->addr, sizeof c.addr);
        c.port = port_of_field(ep->port_field);
        c.ipv6 = list == PLAT_TCP6_CONNS;
        return;
    }
    const int at = add_endpoint(list, ep, serving_pid(ep->pid, ep->next_pid, d.manager));
    if (at < 0) return;
    sock_row &r = g_socks[at];
    r.holders = static_cast<int32_t>(ep->holders);
    r.account = ep->account;
    if (list == PLAT_TCP4 || list == PLAT_TCP6) {
        r.queue = ep->queue;
        r.backlog = ep->backlog;
    }
    if (strcmp(r.bind_addr, "::") == 0) r.v6only = ep->v6only < 0 ? -1 : ep->v6only != 0;
}

// The facts of each serving process, read once however many rows it serves.
enum { FACT_SLOTS = 2 * MAX_SOCKS };
struct fact_slot {
    uint32_t pid; // 0: free
    plat_process p;
};
fact_slot g_facts[FACT_SLOTS];
// The slots in use, so that an answer starts from an empty cache without clearing all.
uint16_t g_fact_used[MAX_SOCKS];
int g_fact_count;

// Room for an account name as the platform gives it.
enum { ACCOUNT_SIZE = sizeof(plat_process::user) };

// The account named last: rows come in port order, and the sockets of one account
// often follow each other.
int64_t g_named = -1;
char g_name[ACCOUNT_SIZE];

void forget_facts() {
    for (int k = 0; k < g_fact_count; ++k) g_facts[g_fact_used[k]].pid = 0;
    g_fact_count = 0;
    g_named = -1;
}

const plat_process &facts_of(uint32_t pid) {
    size_t i = (pid * 2654435761u) % FACT_SLOTS;
    while (g_facts[i].pid && g_facts[i].pid != pid) i = (i + 1) % FACT_SLOTS;
    if (!g_facts[i].pid) {
        // At most one process per row: the table never fills.
        g_fact_used[g_fact_count++] = static_cast<uint16_t>(i);
        g_facts[i].pid = pid;
        memset(&g_facts[i].p, 0, sizeof g_facts[i].p);
        plat_process_facts(pid, &g_facts[i].p);
    }
    return g_facts[i].p;
}

// Each row's texts, filled once by the reading for every answer that writes them.
row_text g_text[MAX_SOCKS];

// The account of a row: the serving process's, else the one the table names for the
// socket (which needs no right to see the process).
void fill_user(const sock_row &r, const plat_process *p, char *text, size_t size) {
    text[0] = '\0';
    if (p && p->user[0]) {
        utf8_copy(text, size, p->user);
    } else if (r.account >= 0) {
        if (r.account != g_named && plat_account_name(r.account, g_name, sizeof g_name) != 0)
            g_name[0] = '\0';
        g_named = r.account;
        utf8_copy(text, size, g_name);
    }
}

// In row order: the facts of consecutive rows' processes and accounts are read once.
void fill_texts() {
    static const plat_process none = {};
    for (int i = 0; i < g_sock_count; ++i) {
        const sock_row &r = g_socks[i];
        const plat_process *p = r.pid ? &facts_of(static_cast<uint32_t>(r.pid)) : nullptr;
        row_text &t = g_text[i];
        fill_user(r, p, t.user, sizeof t.user);
        utf8_copy(t.service, sizeof t.service, (p ? p : &none)->service);
        utf8_copy(t.container, sizeof t.container, (p ? p : &none)->container);
    }
}

void write_row_more(const sock_row &r, void *) {
    const int i = static_cast<int>(&r - g_socks);
    out_lit(",\"user\":");
    json_str(g_text[i].user);
    out_lit(",\"service\":");
    json_str(g_text[i].service);
    out_lit(",\"container\":");
    json_str(g_text[i].container);
    out_lit(",\"holders\":");
    out_int(r.holders);
    out_lit(",\"queue\":");
    out_int(r.queue);
    out_lit(",\"backlog\":");
    out_int(r.backlog);
    out_lit(",\"conns\":");
    out_int(r.conns);
    out_lit(",\"v6only\":");
    if (r.v6only < 0)
        out_lit("null");
    else
        out_bool(r.v6only);
    policy_write_row(i);
}

void write_unreadable(void *ctx) {
    const int readable = *static_cast<const int *>(ctx);
    static const char *const names[PLAT_LISTS] = {"tcp4", "tcp6", "udp4", "udp6"};
    out_lit(",\"unreadable\":[");
    bool first = true;
    for (int list = 0; list < PLAT_LISTS; ++list) {
        if (readable & 1 << list) continue;
        if (!first) out_lit(",");
        first = false;
        json_str(names[list]);
    }
    out_lit("]");
    policy_write_after();
}

} // namespace

int detail_read() {
    forget_facts();
    detail_reading d = {plat_service_manager_pid(), nullptr, 0, 0, 0};
    const int readable = enumerate_sockets(take_detail, &d, PLAT_DETAIL);
    if (readable & ((1 << PLAT_LISTS) - 1)) {
        order_rows();
        count_conns(d.conns, d.count, d.lost ? 0 : readable);
        fill_texts();
    }
    free(d.conns);
    return readable;
}

const row_text &detail_text(int row) { return g_text[row]; }

void detail_action() {
    int readable = detail_read();
    if ((readable & ((1 << PLAT_LISTS) - 1)) == 0) {
        write_tables_unreadable();
        return;
    }
    policy_load();
    policy_judge(readable);
    write_listeners_body_with(listeners_more{write_row_more, write_unreadable, &readable});
}
