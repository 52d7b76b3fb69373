#include "detail.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "listeners.h"
#include "output.h"
#include "platform/platform.h"
#include "policy.h"
#include "target.h"

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
        if (!is_tcp(r) || r.netns != c.netns) continue;
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
    for (int i = 0; i < g_sock_count; ++i) {
        sock_row &r = g_socks[i];
        if (!is_tcp(r)) continue;
        const int read = r.lists_read & conns_read;
        const bool v4 = read & 1 << PLAT_TCP4_CONNS, v6 = read & 1 << PLAT_TCP6_CONNS;
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

// A network namespace some of whose lists could not be read.
struct unread_netns {
    int64_t netns;
    int readable;
};

// What a detail reading gathers besides the rows.
struct detail_reading {
    uint32_t manager;
    conn_end *conns;
    size_t count, cap;
    int lost; // a connection could not be kept: the counts would be short
    int ns_read; // the lists read of the namespace being delivered (not the own)
    unread_netns *unread;
    size_t n_unread;
    int unread_lost; // a namespace could not be noted: said as "netns:*"
    int own_read;    // the program's own lists read
    int owners_hidden; // some row's owner was hidden from the account
    int cut;         // rows left out for want of room: a bit (1 << rank) for each rank
    // Where the search for a row to give way goes on, per rank it may be below: ranks only
    // rise in a slot, so no slot behind a cursor can give way later.
    int cursor[2];
    int gate_on; // a node password guards the answer
    int reader;      // what they were read from (plat_reader), taken right after
};

// Which rows give way when the table is full: a UDP socket of another namespace first,
// then one of the program's own; a TCP listener never gives way to a UDP socket. So no
// number of UDP sockets, wherever they are, hides a server.
enum { RANK_UDP_OTHER = 0, RANK_UDP_OWN = 1, RANK_TCP = 2 };

int rank_of(bool tcp, int64_t netns) { return tcp ? RANK_TCP : netns == 0 ? RANK_UDP_OWN : RANK_UDP_OTHER; }

int rank_of(const sock_row &r) { return rank_of(is_tcp(r), r.netns); }

// The slot of a row ranked below rank, to be given to a new one; -1 when none is.
int room_for(detail_reading &d, int rank) {
    for (int below = 0; below < rank; ++below) {
        int &at = d.cursor[below];
        while (at >= 0 && rank_of(g_socks[at]) > below) --at;
        if (at >= 0) {
            d.cut |= 1 << rank_of(g_socks[at]);
            return at--;
        }
    }
    return -1;
}

// The reading of this run, kept for the answer written from it (the namespaces that
// could not be read are said after the rows).
detail_reading g_reading;

void take_netns(int64_t netns, int readable, void *ctx) {
    detail_reading &d = *static_cast<detail_reading *>(ctx);
    d.ns_read = readable;
    if (netns == PLAT_NETNS_UNKNOWN) {
        d.unread_lost = 1; // said as "netns:*"
        return;
    }
    const int lists = (1 << PLAT_LISTS) - 1;
    if ((readable & lists) == lists) return;
    void *grown = realloc(d.unread, (d.n_unread + 1) * sizeof *d.unread);
    if (!grown) {
        d.unread_lost = 1;
        return;
    }
    d.unread = static_cast<unread_netns *>(grown);
    d.unread[d.n_unread++] = {netns, readable};
}

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
        c.netns = ep->netns;
        return;
    }
    const bool tcp = list == PLAT_TCP4 || list == PLAT_TCP6;
    if (tcp && ep->state != PLAT_TCP_LISTEN) return;
    const uint32_t pid = serving_pid(ep->pid, ep->next_pid, d.manager);
    int at;
    if (g_sock_count < MAX_ROWS) {
        at = add_endpoint(list, ep, pid);
    } else {
        const int rank = rank_of(tcp, ep->netns);
        const int slot = room_for(d, rank);
        if (slot < 0) {
            d.cut |= 1 << rank;
            return;
        }
        // The new row is written in the slot of the one that gives way.
        g_sock_count = slot;
        at = add_endpoint(list, ep, pid);
        g_sock_count = MAX_ROWS;
    }
    if (at < 0) return;
    sock_row &r = g_socks[at];
    r.netns = ep->netns;
    // The program's own namespace comes first; its lists are known once all are read.
    r.lists_read = ep->netns ? d.ns_read : 0;
    // An owner hidden from the account is unknown, not "none": a socket in the kernel's
    // own hands has no holder either.
    const bool hidden = ep->owner_hidden && !ep->pid;
    r.holders = hidden ? -1 : static_cast<int32_t>(ep->holders);
    if (hidden) r.unread = ROW_UNREAD_FACTS;
    r.account = ep->account;
    if (list == PLAT_TCP4 || list == PLAT_TCP6) {
        r.queue = ep->queue;
        r.backlog = ep->backlog;
    }
    if (strcmp(r.bind_addr, "::") == 0) r.v6only = ep->v6only < 0 ? -1 : ep->v6only != 0;
}

// The facts of each serving process, read once however many rows it serves (of the
// first FACT_KEPT processes; the slots stay at most half full).
enum { FACT_KEPT = MAX_SOCKS, FACT_SLOTS = 2 * FACT_KEPT };
struct fact_slot {
    uint32_t pid; // 0: free
    plat_process p;
};
fact_slot g_facts[FACT_SLOTS];
// The slots in use, so that an answer starts from an empty cache without clearing all.
uint16_t g_fact_used[FACT_KEPT];
int g_fact_count;

// Room for an account name as the platform gives it.
enum { ACCOUNT_SIZE = sizeof(plat_process::user) };

// The account named last: rows come in port order, and the sockets of one account
// often follow each other.
int64_t g_named = -1;
char g_name[ACCOUNT_SIZE];

// Whether a row's address may be probed, remembered per address: telling whether an
// address is this host's reads the interfaces, and many rows share one address.
enum { PROBE_MEMO_SLOTS = 64 };
struct probe_memo {
    char addr[sizeof(sock_row::bind_addr)]; // empty: free
    bool probe;
};
probe_memo g_probe_memo[PROBE_MEMO_SLOTS];

bool row_probe(const sock_row &r) {
    // Another namespace's addresses, its loopback included, are not this host's.
    if (!is_tcp(r) || r.netns != 0) return false;
    uint32_t h = 2166136261u;
    for (const char *c = r.bind_addr; *c; ++c) h = (h ^ static_cast<unsigned char>(*c)) * 16777619u;
    probe_memo &m = g_probe_memo[h % PROBE_MEMO_SLOTS];
    if (strcmp(m.addr, r.bind_addr) != 0) {
        strcpy(m.addr, r.bind_addr);
        m.probe = target_row_probe(r.proto, r.bind_addr);
    }
    return m.probe;
}

void forget_facts() {
    for (int k = 0; k < g_fact_count; ++k) g_facts[g_fact_used[k]].pid = 0;
    g_fact_count = 0;
    g_named = -1;
    for (probe_memo &m : g_probe_memo) m.addr[0] = '\0';
}

const plat_process &facts_of(uint32_t pid) {
    size_t i = (pid * 2654435761u) % FACT_SLOTS;
    while (g_facts[i].pid && g_facts[i].pid != pid) i = (i + 1) % FACT_SLOTS;
    if (!g_facts[i].pid) {
        if (g_fact_count == FACT_KEPT) {
            static plat_process spare;
            plat_process_facts(pid, &spare);
            return spare;
        }
        g_fact_used[g_fact_count++] = static_cast<uint16_t>(i);
        g_facts[i].pid = pid;
        memset(&g_facts[i].p, 0, sizeof g_facts[i].p);
        plat_process_facts(pid, &g_facts[i].p);
    }
    return g_facts[i].p;
}

// Each row's texts, filled once by the reading for every answer that writes them.
row_text g_text[MAX_ROWS];

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

// The names of the containers named so far in this answer: each is asked once.
enum { NAME_MEMO_SLOTS = 64 };
struct name_memo {
    char container[sizeof(plat_process::container)]; // empty: free
    char name[sizeof(row_text::container_name)];
};
name_memo g_name_memo[NAME_MEMO_SLOTS];

void container_name_of(uint32_t pid, const char *container, char *text, size_t size) {
    text[0] = '\0';
    if (!container[0]) return;
    uint32_t h = 2166136261u;
    for (const char *c = container; *c; ++c) h = (h ^ static_cast<unsigned char>(*c)) * 16777619u;
    name_memo &m = g_name_memo[h % NAME_MEMO_SLOTS];
    if (strcmp(m.container, container) != 0) {
        char name[sizeof m.name];
        if (plat_container_name(pid, container, name, sizeof name) != 0) name[0] = '\0';
        utf8_copy(m.name, sizeof m.name, name);
        snprintf(m.container, sizeof m.container, "%s", container);
    }
    snprintf(text, size, "%s", m.name);
}

// The pod named last: the rows of one pod's processes often follow each other.
char g_pod_uid[40], g_pod_ns[64], g_pod_name[254];

void pod_of(const char *uid, row_text &t) {
    t.pod_namespace[0] = t.pod_name[0] = '\0';
    if (!uid[0]) return;
    if (strcmp(uid, g_pod_uid) != 0) {
        snprintf(g_pod_uid, sizeof g_pod_uid, "%s", uid);
        char ns[sizeof g_pod_ns], name[sizeof g_pod_name];
        if (plat_pod_of(uid, ns, sizeof ns, name, sizeof name) != 0) ns[0] = name[0] = '\0';
        utf8_copy(g_pod_ns, sizeof g_pod_ns, ns);
        utf8_copy(g_pod_name, sizeof g_pod_name, name);
    }
    snprintf(t.pod_namespace, sizeof t.pod_namespace, "%s", g_pod_ns);
    snprintf(t.pod_name, sizeof t.pod_name, "%s", g_pod_name);
}

// In row order: the facts of consecutive rows' processes and accounts are read once.
void fill_texts() {
    static const plat_process none = {};
    for (name_memo &m : g_name_memo) m.container[0] = '\0';
    g_pod_uid[0] = '\0';
    for (int i = 0; i < g_sock_count; ++i) {
        sock_row &r = g_socks[i];
        const plat_process *p = r.pid ? &facts_of(static_cast<uint32_t>(r.pid)) : nullptr;
        if (p) {
            // The account the table names for the socket stands in for the process's
            // only in the answer: the one who made a socket need not be the one serving it.
            r.unread |= (p->unread & PLAT_PROC_USER ? ROW_UNREAD_USER : 0) |
                        (p->unread & PLAT_PROC_SERVICE ? ROW_UNREAD_SERVICE : 0) |
                        (p->unread & PLAT_PROC_CONTAINER ? ROW_UNREAD_CONTAINER : 0) |
                        (r.comm[0] ? 0 : ROW_UNREAD_COMM);
        }
        row_text &t = g_text[i];
        fill_user(r, p, t.user, sizeof t.user);
        utf8_copy(t.service, sizeof t.service, (p ? p : &none)->service);
        utf8_copy(t.container, sizeof t.container, (p ? p : &none)->container);
        container_name_of(static_cast<uint32_t>(r.pid), t.container, t.container_name,
                          sizeof t.container_name);
        pod_of((p ? p : &none)->pod_uid, t);
    }
}

// A namespace's name: its inode number, null for one the program may not name.
void write_netns(int64_t netns) {
    if (netns < 0) {
        out_lit("null");
        return;
    }
    char text[24];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(netns));
    out_text(text);
}

// Where the row's socket leads when the process serving it is a port forwarder, or null.
void write_forward(const sock_row &r) {
    plat_forward f;
    char text[sizeof f.name];
    if (r.pid <= 0 ||
        plat_forward_of(static_cast<uint32_t>(r.pid), r.comm, r.proto, r.ipv6, r.addr, r.port,
                        &f) != 0 ||
        plat_addr_text(f.ipv6, f.addr, text, sizeof text) != 0) {
        out_lit("null");
        return;
    }
    out_lit("{\"addr\":");
    json_str(text);
    out_lit(",\"port\":");
    if (f.port > 0)
        out_int(f.port);
    else
        out_lit("null"); // not to be told from outside the forwarder
    out_lit(",\"netns\":");
    write_netns(f.netns);
    out_lit(",\"container\":");
    utf8_copy(text, sizeof text, f.container);
    json_str(text);
    out_lit(",\"name\":");
    utf8_copy(text, sizeof text, f.name);
    json_str(text);
    out_lit("}");
}

void write_row_more(const sock_row &r, void *) {
    const int i = static_cast<int>(&r - g_socks);
    out_lit(",\"user\":");
    json_str(g_text[i].user);
    out_lit(",\"service\":");
    json_str(g_text[i].service);
    out_lit(",\"container\":");
    json_str(g_text[i].container);
    out_lit(",\"container_name\":");
    json_str(g_text[i].container_name);
    out_lit(",\"pod\":");
    if (g_text[i].pod_namespace[0] && g_text[i].pod_name[0]) {
        out_lit("{\"namespace\":");
        json_str(g_text[i].pod_namespace);
        out_lit(",\"name\":");
        json_str(g_text[i].pod_name);
        out_lit("}");
    } else {
        out_lit("null");
    }
    out_lit(",\"holders\":");
    if (r.holders < 0)
        out_lit("null");
    else
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
    out_lit(",\"probe\":");
    out_bool(row_probe(r));
    out_lit(",\"netns\":");
    write_netns(r.netns);
    out_lit(",\"forward\":");
    write_forward(r);
    policy_write_row(i);
}

// The publications of this answer.
published_entry *g_pubs;
size_t g_pub_count, g_pub_cap;

// Whether a row of the program's own namespace holds what p publishes: a socket on its
// protocol and port whose address takes it (the same, or a wildcard either way).
bool held(const plat_published &p) {
    const bool udp = strcmp(p.proto, "udp") == 0;
    if (!udp && strcmp(p.proto, "tcp") != 0) return false;
    for (int i = first_on_port(p.port); i < g_sock_count && g_socks[i].port == p.port; ++i) {
        const sock_row &r = g_socks[i];
        if (r.netns != 0 || is_tcp(r) == udp) continue;
        if (p.any || all_zero(r.addr, addr_len(r.ipv6)) ||
            (r.ipv6 == p.ipv6 && memcmp(r.addr, p.addr, addr_len(p.ipv6)) == 0))
            return true;
    }
    return false;
}

void take_published(const plat_published *p, void *) {
    // Only TCP and UDP, as the rows; a publication listed twice (Docker names a
    // wildcard once per family) is one.
    if ((strcmp(p->proto, "tcp") != 0 && strcmp(p->proto, "udp") != 0) || held(*p)) return;
    for (size_t k = 0; k < g_pub_count; ++k) {
        const plat_published &q = g_pubs[k].p;
        if (q.port == p->port && q.any == p->any && strcmp(q.proto, p->proto) == 0 &&
            (p->any || (q.ipv6 == p->ipv6 && memcmp(q.addr, p->addr, addr_len(p->ipv6)) == 0)))
            return;
    }
    if (g_pub_count == g_pub_cap) {
        const size_t cap = g_pub_cap ? g_pub_cap * 2 : 16;
        void *grown = realloc(g_pubs, cap * sizeof *g_pubs);
        if (!grown) return;
        g_pubs = static_cast<published_entry *>(grown);
        g_pub_cap = cap;
    }
    published_entry &e = g_pubs[g_pub_count++];
    e.p = *p;
    e.expected = -1;
    static const unsigned char zero[16] = {};
    if (plat_addr_text(p->ipv6, p->any ? zero : p->addr, e.host_addr, sizeof e.host_addr) != 0)
        strcpy(e.host_addr, "unknown");
}

// A publication as the row it stands for: its host side, no process.
void as_row(const published_entry &e, sock_row &r, row_text &t) {
    memset(&r, 0, sizeof r);
    memset(&t, 0, sizeof t);
    snprintf(r.proto, sizeof r.proto, "%.3s", e.p.proto); // "tcp" or "udp"
    snprintf(r.bind_addr, sizeof r.bind_addr, "%s", e.host_addr);
    r.port = e.p.port;
    r.ipv6 = e.p.ipv6;
    if (!e.p.any) memcpy(r.addr, e.p.addr, sizeof r.addr);
    utf8_copy(t.container, sizeof t.container, e.p.forward.container);
}

void write_text_of(const char *raw) {
    char text[256];
    utf8_copy(text, sizeof text, raw);
    json_str(text);
}

// The publications: `,"published":[...]`.
void write_published() {
    out_lit(",\"published\":[");
    for (size_t k = 0; k < g_pub_count; ++k) {
        const published_entry &e = g_pubs[k];
        const plat_forward &f = e.p.forward;
        char addr[64];
        if (plat_addr_text(f.ipv6, f.addr, addr, sizeof addr) != 0) strcpy(addr, "unknown");
        if (k) out_lit(",");
        out_lit("{\"proto\":");
        json_str(e.p.proto);
        out_lit(",\"host_addr\":");
        json_str(e.host_addr);
        out_lit(",\"host_port\":");
        out_int(e.p.port);
        out_lit(",\"forward\":{\"addr\":");
        json_str(addr);
        out_lit(",\"port\":");
        out_int(f.port);
        out_lit(",\"netns\":");
        write_netns(f.netns);
        out_lit(",\"container\":");
        write_text_of(f.container);
        out_lit(",\"name\":");
        write_text_of(f.name);
        out_lit("},\"pod\":");
        if (e.p.pod_namespace[0] && e.p.pod_name[0]) {
            out_lit("{\"namespace\":");
            write_text_of(e.p.pod_namespace);
            out_lit(",\"name\":");
            write_text_of(e.p.pod_name);
            out_lit("}");
        } else {
            out_lit("null");
        }
        out_lit(",\"via\":");
        json_str(e.p.via == PLAT_VIA_DOCKER ? "docker" : "cni");
        out_lit(",\"expected\":");
        if (e.expected < 0)
            out_lit("null");
        else
            out_bool(e.expected);
        out_lit("}");
    }
    out_lit("]");
}

// What the program's own lists were read from; then the lists that could not be read:
// the program's own by their names; then the kinds of facts (read by now: the rows are
// out) that could not be read for a reason other than a process being gone or hidden;
// then the lists of other namespaces as "netns:N tcp4" ("netns:? tcp4" for one the
// program may not name).
void write_unreadable(void *ctx) {
    const detail_reading &d = *static_cast<const detail_reading *>(ctx);
    static const char *const names[PLAT_LISTS] = {"tcp4", "tcp6", "udp4", "udp6"};
    // What this answer's own lists were really read from (the plain answer's "source"
    // names the Windows tables on every system, for every caller).
    static const char *const readers[] = {"sock_diag", "proc", "windows-tables"};
    const int reader = d.reader;
    out_lit(",\"reader\":");
    if (reader >= PLAT_READER_SOCK_DIAG && reader <= PLAT_READER_WINDOWS_TABLES)
        json_str(readers[reader - PLAT_READER_SOCK_DIAG]);
    else
        out_lit("null");
    const int facts = plat_facts_unreadable();
    out_lit(",\"unreadable\":[");
    bool first = true;
    auto name = [&](const char *text) {
        if (!first) out_lit(",");
        first = false;
        json_str(text);
    };
    for (int list = 0; list < PLAT_LISTS; ++list)
        if (!(d.own_read & 1 << list)) name(names[list]);
    if (facts & PLAT_FACT_OWNERS || d.owners_hidden) name("owners");
    if (facts & PLAT_FACT_SERVICES) name("services");
    if (facts & PLAT_FACT_ACCOUNTS) name("accounts");
    if (facts & PLAT_FACT_FORWARDERS) name("forwarders");
    if (facts & PLAT_FACT_CHURN) name("churn");
    if (facts & PLAT_FACT_PUBLISHED) name("published");
    if (facts & PLAT_FACT_PODS) name("pods");
    for (size_t k = 0; k < d.n_unread; ++k)
        for (int list = 0; list < PLAT_LISTS; ++list) {
            if (d.unread[k].readable & 1 << list) continue;
            char text[48];
            if (d.unread[k].netns < 0)
                snprintf(text, sizeof text, "netns:? %s", names[list]);
            else
                snprintf(text, sizeof text, "netns:%lld %s",
                         static_cast<long long>(d.unread[k].netns), names[list]);
            name(text);
        }
    if (d.unread_lost) name("netns:*");
    out_lit("],\"truncated\":");
    out_bool(d.cut != 0);
    write_published();
    policy_write_after();
    // Last: whether a node password guards these answers.
    out_lit(",\"gate\":");
    out_bool(d.gate_on);
}

} // namespace

int detail_read(bool every_netns) {
    forget_facts();
    detail_reading &d = g_reading;
    free(d.unread);
    memset(&d, 0, sizeof d);
    d.cursor[0] = d.cursor[1] = MAX_ROWS - 1;
    d.manager = plat_service_manager_pid();
    const int flags = PLAT_DETAIL | (every_netns ? PLAT_EVERY_NETNS : 0);
    d.own_read = enumerate_sockets(take_detail, &d, flags, take_netns);
    d.reader = plat_reader();
    if (d.own_read & ((1 << PLAT_LISTS) - 1)) {
        for (int i = 0; i < g_sock_count; ++i)
            if (g_socks[i].netns == 0) g_socks[i].lists_read = d.own_read;
        order_rows();
        count_conns(d.conns, d.count, d.lost ? 0 : ~0);
        fill_texts();
        for (int i = 0; i < g_sock_count; ++i) d.owners_hidden |= g_socks[i].holders < 0;
    }
    free(d.conns);
    d.conns = nullptr;
    d.count = d.cap = 0;
    return d.own_read;
}

void detail_read_published() {
    g_pub_count = 0;
    plat_published_read(take_published, nullptr);
}

void detail_judge_published() {
    for (size_t k = 0; k < g_pub_count; ++k) {
        sock_row r;
        row_text t;
        as_row(g_pubs[k], r, t);
        g_pubs[k].expected = policy_judge_more(r, t);
    }
}

size_t detail_published(const published_entry **entries) {
    *entries = g_pubs;
    return g_pub_count;
}

const row_text &detail_text(int row) { return g_text[row]; }

bool detail_truncated() { return g_reading.cut != 0; }

int detail_judgeable(int readable) {
    // A cut that left out rows of the program's own namespace leaves that protocol's
    // lists not wholly in the table: what is not there cannot be said missing.
    if (g_reading.cut & 1 << RANK_TCP) readable &= ~(1 << PLAT_TCP4 | 1 << PLAT_TCP6);
    if (g_reading.cut & 1 << RANK_UDP_OWN) readable &= ~(1 << PLAT_UDP4 | 1 << PLAT_UDP6);
    return readable;
}

void detail_action(int gate_on) {
    const int readable = detail_read(true);
    g_reading.gate_on = gate_on;
    if ((readable & ((1 << PLAT_LISTS) - 1)) == 0) {
        write_tables_unreadable();
        return;
    }
    // The facts said unreadable are written after the rows: the publications are read
    // before.
    detail_read_published();
    policy_load();
    policy_judge(detail_judgeable(readable));
    detail_judge_published();
    write_listeners_body_with(listeners_more{write_row_more, write_unreadable, &g_reading});
}
