#include "fake_platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/sock_addr.h"

uint64_t g_fake_clock_ms = 1000;
uint64_t g_fake_clock_step = 0;

void plat_stdio_init() {}

int plat_net_start() { return 0; }

const char *plat_env(const char *name) { return getenv(name); }

uint64_t plat_clock_ms() {
    const uint64_t now = g_fake_clock_ms;
    g_fake_clock_ms += g_fake_clock_step;
    return now;
}

int plat_utc_now(struct tm *out) {
    memset(out, 0, sizeof *out);
    out->tm_year = 2026 - 1900;
    out->tm_mon = 11;
    out->tm_mday = 8;
    out->tm_hour = 2;
    out->tm_min = 38;
    return 0;
}

// ---- endpoint tables, owners and image paths --------------------------------

fake_list g_fake_lists[PLAT_ALL_LISTS];
int g_fake_addr_fail, g_fake_addr_empty, g_fake_image_calls, g_fake_readings, g_fake_flags;
const char *g_fake_addr6_text;
uint32_t g_fake_manager_pid = 1;
int g_fake_fact_calls, g_fake_account_calls, g_fake_local_calls, g_fake_facts_unreadable;

namespace {

struct fake_process {
    uint32_t pid;
    char name[512];
};
fake_process g_images[8];
int g_image_count;

struct fake_facts {
    uint32_t pid;
    plat_process p;
};
fake_facts g_facts[8];
int g_facts_count;

struct fake_name {
    int64_t account;
    char name[64];
};
fake_name g_accounts[8];
int g_account_count;

struct fake_addr {
    int ipv6;
    unsigned char addr[16];
};
fake_addr g_local_addrs[8];
int g_local_count;

struct fake_space {
    int64_t netns;
    int fail;
};
fake_space g_spaces[8];
int g_space_count;

uint32_t g_forward_pid;
uint32_t g_fake_pod_pid;
char g_fake_pod_uid[40], g_fake_pod_ns[64], g_fake_pod_name[64];
plat_published g_fake_pubs[8];
int g_fake_pub_count;
char g_fake_container[16], g_fake_container_name[256];
plat_forward g_forward;

} // namespace

void fake_local_addr(const char *addr) {
    if (g_local_count >= 8) return;
    fake_addr &a = g_local_addrs[g_local_count++];
    memset(&a, 0, sizeof a);
    if (sock_addr_parse(addr, &a.ipv6, a.addr) != 0) --g_local_count;
}

int plat_addr_is_local(int ipv6, const unsigned char *addr) {
    ++g_fake_local_calls;
    if (sock_addr_loopback(ipv6, addr)) return 1;
    for (int i = 0; i < g_local_count; ++i)
        if (g_local_addrs[i].ipv6 == ipv6 &&
            memcmp(g_local_addrs[i].addr, addr, ipv6 ? 16 : 4) == 0)
            return 1;
    return 0;
}

int plat_facts_unreadable() { return g_fake_facts_unreadable; }

int g_fake_reader;
int plat_reader() { return g_fake_reader; }


void fake_netns(int64_t netns, int fail) {
    if (g_space_count < 8) g_spaces[g_space_count++] = {netns, fail};
}

void fake_forward(uint32_t pid, const plat_forward &f) {
    g_forward_pid = pid;
    g_forward = f;
}


void fake_published(const plat_published &p) {
    if (g_fake_pub_count < 8) g_fake_pubs[g_fake_pub_count++] = p;
}

void plat_published_read(plat_published_fn fn, void *ctx) {
    for (int k = 0; k < g_fake_pub_count; ++k) fn(&g_fake_pubs[k], ctx);
}

void fake_pod(uint32_t pid, const char *uid, const char *ns, const char *name) {
    g_fake_pod_pid = pid;
    snprintf(g_fake_pod_uid, sizeof g_fake_pod_uid, "%s", uid);
    snprintf(g_fake_pod_ns, sizeof g_fake_pod_ns, "%s", ns);
    snprintf(g_fake_pod_name, sizeof g_fake_pod_name, "%s", name);
}

int plat_pod_of(const char *uid, char *ns, size_t ns_size, char *name, size_t name_size) {
    if (!uid[0] || strcmp(uid, g_fake_pod_uid) != 0) return -1;
    snprintf(ns, ns_size, "%s", g_fake_pod_ns);
    snprintf(name, name_size, "%s", g_fake_pod_name);
    return 0;
}

void fake_container_name(const char *container, const char *name) {
    snprintf(g_fake_container, sizeof g_fake_container, "%s", container);
    snprintf(g_fake_container_name, sizeof g_fake_container_name, "%s", name);
}

int plat_container_name(uint32_t, const char *container, char *buf, size_t size) {
    if (!container[0] || strcmp(container, g_fake_container) != 0) return -1;
    snprintf(buf, size, "%s", g_fake_container_name);
    return 0;
}

int plat_forward_of(uint32_t pid, const char *, const char *, int, const unsigned char *, int,
                    plat_forward *out) {
    if (!pid || pid != g_forward_pid) return -1;
    *out = g_forward;
    return 0;
}

int g_fake_file_outcome = PLAT_FILE_MISSING;
const char *g_fake_file_text = "";
size_t g_fake_file_len;

int plat_policy_path(char *buf, size_t size) { return snprintf(buf, size, "/fake/expected") < 0; }

int plat_read_file(const char *, void *buf, size_t cap, size_t *got) {
    *got = std::min(cap, g_fake_file_len);
    memcpy(buf, g_fake_file_text, *got);
    return g_fake_file_outcome;
}

int plat_password_path(char *buf, size_t size) { return snprintf(buf, size, "/fake/password") < 0; }

int plat_read_secret(const char *path, void *buf, size_t cap, size_t *got) {
    return plat_read_file(path, buf, cap, got);
}

uint32_t g_fake_pid_max = 4194303;
int64_t g_fake_now;
plat_proc_more g_fake_more;
int g_fake_want_cmdline = -1, g_fake_held_unknown;

namespace {

struct fake_proc_entry {
    uint32_t pid;
    plat_proc_entry e;
};
fake_proc_entry g_procs[16];
int g_proc_count;

} // namespace

void fake_proc(uint32_t pid, uint32_t ppid, int64_t started, const char *name) {
    if (g_proc_count >= 16) return;
    fake_proc_entry &p = g_procs[g_proc_count++];
    p.pid = pid;
    p.e.ppid = ppid;
    p.e.started = started;
    snprintf(p.e.name, sizeof p.e.name, "%s", name);
}

uint32_t plat_pid_max() { return g_fake_pid_max; }

int64_t plat_time_now() { return g_fake_now; }

int plat_proc_entry_of(uint32_t pid, plat_proc_entry *out) {
    for (int i = 0; i < g_proc_count; ++i)
        if (g_procs[i].pid == pid) {
            *out = g_procs[i].e;
            return 0;
        }
    return -1;
}

void plat_proc_more_of(uint32_t, int want_cmdline, plat_proc_more *out) {
    g_fake_want_cmdline = want_cmdline;
    *out = g_fake_more;
}

int plat_tables_read_for(uint32_t pid, const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx,
                         int *held_known) {
    *held_known = !g_fake_held_unknown;
    struct one {
        uint32_t pid;
        plat_endpoint_fn fn;
        void *ctx;
    } o = {g_fake_held_unknown ? 0 : pid, fn, ctx};
    return plat_tables_read(
        order,
        [](int list, const plat_endpoint *ep, void *c) {
            const one &o = *static_cast<const one *>(c);
            plat_endpoint e = *ep;
            if (e.pid != o.pid) e.pid = 0;
            o.fn(list, &e, o.ctx);
        },
        &o, PLAT_ADDRESSES);
}

void fake_tables_reset() {
    g_fake_file_outcome = PLAT_FILE_MISSING;
    g_fake_file_text = "";
    g_fake_file_len = 0;
    g_fake_pid_max = 4194303;
    g_fake_now = 0;
    g_fake_more = {PLAT_NONE, nullptr, -1, PLAT_NONE, nullptr, PLAT_NONE, nullptr, 0};
    g_fake_want_cmdline = -1;
    g_fake_held_unknown = 0;
    g_proc_count = 0;
    memset(g_fake_lists, 0, sizeof g_fake_lists);
    g_fake_addr_fail = g_fake_addr_empty = g_fake_image_calls = g_fake_readings = 0;
    g_fake_addr6_text = nullptr;
    g_fake_flags = g_fake_fact_calls = g_fake_account_calls = 0;
    g_fake_local_calls = g_fake_facts_unreadable = 0;
    g_fake_reader = PLAT_READER_NONE;
    g_fake_port_reads = 0;
    g_fake_manager_pid = 1;
    g_image_count = g_facts_count = g_account_count = g_local_count = g_space_count = 0;
    g_forward_pid = 0;
    g_fake_container[0] = g_fake_container_name[0] = '\0';
    g_fake_pub_count = 0;
    g_fake_pod_pid = 0;
    g_fake_pod_uid[0] = '\0';
}

plat_process *fake_process(uint32_t pid, const char *user, const char *service,
                           const char *container) {
    static plat_process spare;
    if (g_facts_count >= 8) return &spare;
    fake_facts &f = g_facts[g_facts_count++];
    f.pid = pid;
    snprintf(f.p.user, sizeof f.p.user, "%s", user);
    snprintf(f.p.service, sizeof f.p.service, "%s", service);
    snprintf(f.p.container, sizeof f.p.container, "%s", container);
    f.p.unread = 0;
    return &f.p;
}

void fake_account(int64_t account, const char *name) {
    if (g_account_count >= 8) return;
    g_accounts[g_account_count].account = account;
    snprintf(g_accounts[g_account_count].name, sizeof g_accounts[0].name, "%s", name);
    ++g_account_count;
}

uint32_t plat_service_manager_pid() { return g_fake_manager_pid; }

void plat_process_facts(uint32_t pid, plat_process *out) {
    ++g_fake_fact_calls;
    memset(out, 0, sizeof *out);
    for (int i = 0; i < g_facts_count; ++i)
        if (g_facts[i].pid == pid) *out = g_facts[i].p;
    if (pid && pid == g_fake_pod_pid) snprintf(out->pod_uid, sizeof out->pod_uid, "%s", g_fake_pod_uid);
}

int plat_account_name(int64_t account, char *buf, size_t size) {
    ++g_fake_account_calls;
    for (int i = 0; i < g_account_count; ++i)
        if (g_accounts[i].account == account)
            return snprintf(buf, size, "%s", g_accounts[i].name) < 0;
    return -1;
}

plat_endpoint *fake_endpoint(int list, const char *addr, int port, uint32_t pid) {
    const int ipv6 = list == PLAT_TCP6 || list == PLAT_UDP6 || list == PLAT_TCP6_CONNS;
    fake_list &l = g_fake_lists[list];
    if (l.count >= FAKE_LIST_MAX) return nullptr;
    plat_endpoint *ep = &l.eps[l.count++];
    memset(ep, 0, sizeof *ep);
    inet_pton(ipv6 ? AF_INET6 : AF_INET, addr, ep->addr);
    ep->port_field = htons(static_cast<uint16_t>(port));
    ep->state = list == PLAT_TCP4 || list == PLAT_TCP6   ? PLAT_TCP_LISTEN
                : list == PLAT_UDP4 || list == PLAT_UDP6 ? 0
                                                         : PLAT_TCP_ESTABLISHED;
    ep->pid = pid;
    ep->account = -1;
    ep->queue = ep->backlog = ep->v6only = -1;
    return ep;
}

void fake_image(uint32_t pid, const char *name) {
    if (g_image_count >= 8) return;
    g_images[g_image_count].pid = pid;
    snprintf(g_images[g_image_count].name, sizeof g_images[0].name, "%s", name);
    ++g_image_count;
}

// The lists of one namespace (0: the program's own), those in fail unread.
static int read_netns(const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx, int flags,
                      int64_t netns, int fail) {
    int readable = 0;
    for (int k = 0; k < PLAT_LISTS; ++k) {
        // A detail reading brings each TCP list's connections right after it.
        const int conns = order[k] == PLAT_TCP4 ? PLAT_TCP4_CONNS : PLAT_TCP6_CONNS;
        const bool with_conns =
            flags & PLAT_DETAIL && (order[k] == PLAT_TCP4 || order[k] == PLAT_TCP6);
        for (int list : {order[k], with_conns ? conns : -1}) {
            if (list < 0 || g_fake_lists[list].fail || fail & 1 << list) continue;
            const fake_list &l = g_fake_lists[list];
            readable |= 1 << list;
            for (int i = 0; i < l.count; ++i)
                if (l.eps[i].netns == netns) fn(list, &l.eps[i], ctx);
        }
    }
    return readable;
}

int plat_tables_read(const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx, int flags,
                     plat_netns_fn ns_fn) {
    ++g_fake_readings;
    g_fake_flags = flags;
    const int readable = read_netns(order, fn, ctx, flags, 0, 0);
    for (int k = 0; flags & PLAT_EVERY_NETNS && k < g_space_count; ++k) {
        const fake_space &s = g_spaces[k];
        int lists = (1 << PLAT_LISTS) - 1;
        if (flags & PLAT_DETAIL) lists |= 1 << PLAT_TCP4_CONNS | 1 << PLAT_TCP6_CONNS;
        if (ns_fn) ns_fn(s.netns, lists & ~s.fail, ctx);
        read_netns(order, fn, ctx, flags, s.netns, s.fail);
    }
    return readable;
}

int g_fake_port_reads;

namespace {

struct on_port {
    int port;
    plat_endpoint_fn fn;
    void *ctx;
};

void take_on_port(int list, const plat_endpoint *ep, void *ctx) {
    const on_port &o = *static_cast<const on_port *>(ctx);
    if (ntohs(static_cast<uint16_t>(ep->port_field)) == o.port) o.fn(list, ep, o.ctx);
}

} // namespace

int plat_port_read(int port, plat_endpoint_fn fn, void *ctx) {
    ++g_fake_port_reads;
    static const int order[PLAT_LISTS] = {PLAT_TCP4, PLAT_TCP6, -1, -1};
    on_port o = {port, fn, ctx};
    return read_netns(order, take_on_port, &o, PLAT_DETAIL | PLAT_ADDRESSES, 0, 0);
}

int plat_addr_text(int ipv6, const unsigned char *addr, char *buf, size_t size) {
    if (g_fake_addr_fail) return -1;
    if (g_fake_addr_empty) {
        buf[0] = '\0';
        return 0;
    }
    if (ipv6 && g_fake_addr6_text) {
        snprintf(buf, size, "%s", g_fake_addr6_text);
        return 0;
    }
    return inet_ntop(ipv6 ? AF_INET6 : AF_INET, addr, buf, static_cast<socklen_t>(size)) ? 0 : -1;
}

int plat_addr_parse(const char *text, int *ipv6, unsigned char addr[16]) {
    return sock_addr_parse(text, ipv6, addr);
}

int plat_image_name(uint32_t pid, char *buf, size_t size) {
    ++g_fake_image_calls;
    for (int i = 0; i < g_image_count; ++i) {
        if (g_images[i].pid != pid) continue;
        if (strlen(g_images[i].name) >= size) return -1;
        strcpy(buf, g_images[i].name);
        return 0;
    }
    return -1;
}

// ---- TCP --------------------------------------------------------------------

fake_conn g_fake_conns[4];
fake_net_log g_fake_net;

namespace {

const int kMaxSockets = 8;
struct fake_sock {
    bool open, nonblocking;
    int ipv6;
    unsigned char peer[16]; // the address it connected to
    int piece;         // next reply piece
    size_t offset;     // bytes of it already received
    uint64_t ready_at; // clock reading from which that piece can be read (0: not yet set)
};
fake_sock g_fake_sockets[kMaxSockets];

// Sockets are numbered from 100 so that 0 and -1 stand out as wrong.
int index_of(plat_sock s) { return static_cast<int>(s) - 100; }

const fake_conn &script_of(plat_sock s) {
    static const fake_conn plain;
    const int i = index_of(s);
    return i < 4 ? g_fake_conns[i] : plain;
}

} // namespace

void fake_net_reset() {
    for (fake_conn &c : g_fake_conns) c = fake_conn();
    g_fake_net = fake_net_log();
    for (fake_sock &k : g_fake_sockets) k = fake_sock();
}

plat_sock plat_tcp_socket_of(int ipv6) {
    const int i = g_fake_net.sockets;
    if (i >= kMaxSockets || (i < 4 && g_fake_conns[i].no_socket)) return PLAT_NO_SOCK;
    ++g_fake_net.sockets;
    g_fake_sockets[i].open = true;
    g_fake_sockets[i].ipv6 = ipv6;
    g_fake_net.max_open = std::max(g_fake_net.max_open, ++g_fake_net.open);
    return 100 + i;
}

void plat_set_nonblocking(plat_sock s) { g_fake_sockets[index_of(s)].nonblocking = true; }

int plat_connect_to(plat_sock s, int ipv6, const unsigned char *addr, int port, uint32_t scope_id) {
    fake_sock &k = g_fake_sockets[index_of(s)];
    if (!k.nonblocking) ++g_fake_net.blocking_connects;
    if (ipv6 != k.ipv6) ++g_fake_net.family_mismatches;
    memcpy(k.peer, addr, ipv6 ? 16 : 4);
    g_fake_net.ipv6 = ipv6;
    memset(g_fake_net.addr, 0, sizeof g_fake_net.addr);
    memcpy(g_fake_net.addr, addr, ipv6 ? 16 : 4);
    g_fake_net.port = port;
    g_fake_net.scope_id = scope_id;
    return script_of(s).connect;
}

int plat_wait(plat_sock s, int for_write, int64_t ms) {
    const int n = g_fake_net.waits++;
    if (n < 16) {
        g_fake_net.wait_for_write[n] = for_write;
        g_fake_net.wait_ms[n] = ms;
    }
    const fake_conn &c = script_of(s);
    fake_sock &k = g_fake_sockets[index_of(s)];
    int result;
    uint64_t wait_for = 0; // how long the wait takes on the fake clock
    if (for_write) {
        result = c.wait;
        if (result == 0) wait_for = static_cast<uint64_t>(ms);
    } else if (k.piece < 4 && c.reply[k.piece]) {
        if (!k.ready_at) k.ready_at = g_fake_clock_ms + c.piece_ms;
        const uint64_t until = k.ready_at > g_fake_clock_ms ? k.ready_at - g_fake_clock_ms : 0;
        result = until <= static_cast<uint64_t>(ms) ? 1 : 0;
        wait_for = result ? until : static_cast<uint64_t>(ms);
    } else if (c.after == FAKE_SILENT) {
        result = 0;
        wait_for = static_cast<uint64_t>(ms);
    } else {
        result = c.after == FAKE_WAIT_FAILS ? -1 : 1;
    }
    g_fake_clock_ms += wait_for;
    return result;
}

int plat_connect_result(plat_sock s) { return script_of(s).pending; }

int plat_local_endpoint(plat_sock s, int *ipv6, unsigned char addr[16], int *port) {
    const fake_conn &c = script_of(s);
    if (c.local_port < 0) return -1;
    const fake_sock &k = g_fake_sockets[index_of(s)];
    *ipv6 = k.ipv6;
    memcpy(addr, c.local_addr ? c.local_addr : k.peer, k.ipv6 ? 16 : 4);
    *port = c.local_port ? c.local_port : 40000;
    return 0;
}

long plat_send(plat_sock s, const void *data, size_t len) {
    ++g_fake_net.sends;
    g_fake_net.sent_len = std::min(len, sizeof g_fake_net.sent);
    memcpy(g_fake_net.sent, data, g_fake_net.sent_len);
    const long result = script_of(s).send;
    return result == -2 ? static_cast<long>(len) : result;
}

long plat_recv(plat_sock s, void *buf, size_t len) {
    const int n = g_fake_net.recvs++;
    if (n < 16) g_fake_net.recv_room[n] = len;
    const fake_conn &c = script_of(s);
    fake_sock &k = g_fake_sockets[index_of(s)];
    if (k.piece < 4 && c.reply[k.piece]) {
        const char *piece = c.reply[k.piece] + k.offset;
        const size_t take = std::min(len, strlen(piece));
        memcpy(buf, piece, take);
        k.offset += take;
        if (!piece[take]) {
            ++k.piece;
            k.offset = 0;
            k.ready_at = 0;
        }
        return static_cast<long>(take);
    }
    return c.after == FAKE_RECV_FAILS ? -1 : 0;
}

void plat_close(plat_sock s) {
    const int i = index_of(s);
    if (i < 0 || i >= kMaxSockets || !g_fake_sockets[i].open) {
        ++g_fake_net.bad_closes;
        return;
    }
    g_fake_sockets[i].open = false;
    --g_fake_net.open;
}
