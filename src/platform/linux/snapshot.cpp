// Every socket list of a reading: the program's own network namespace and, when asked,
// every other one, read from inside (netns.h) or through the /proc/net folder of a
// process in it; the owners from /proc; then each endpoint to the caller.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

#include "platform/linux/lists.h"
#include "platform/linux/netns.h"
#include "platform/linux/proc_dirs.h"
#include "platform/linux/sys.h"

namespace {

const linux_sys &sys = g_linux_sys;

// One namespace's share of the snapshots: where each of its lists lies (the connection
// lists in those of connections), which were read, and its name.
struct netns_share {
    int64_t netns;
    int readable;
    size_t begin[PLAT_ALL_LISTS], end[PLAT_ALL_LISTS];
};

// Reads the listener lists of the namespace the program is in, or whose /proc/net folder
// t names, into t; sets its share.
void read_namespace(table_snapshot &t, lt_walk_log &log, const int order[PLAT_LISTS],
                    netns_share &share) {
    share.readable = 0;
    for (int k = 0; k < PLAT_LISTS; ++k) {
        const int list = order[k];
        if (list >= 0 && list < PLAT_LISTS && read_list(t, log, list) == 0)
            share.readable |= 1 << list;
    }
    for (int list = 0; list < PLAT_LISTS; ++list) {
        share.begin[list] = t.begin[list];
        share.end[list] = t.end[list];
    }
}

// The snapshots of one reading, the shares of every namespace in it (the program's own
// first) and the log their reads share.
struct reading {
    table_snapshot lists, conns;
    netns_share *shares;
    size_t n_shares;
    lt_walk_log log;
};

// Room for one more share; null without memory.
netns_share *new_share(reading &r, int64_t netns) {
    void *grown = sys.realloc(r.shares, (r.n_shares + 1) * sizeof *r.shares);
    if (!grown) return nullptr;
    r.shares = static_cast<netns_share *>(grown);
    netns_share &s = r.shares[r.n_shares++];
    memset(&s, 0, sizeof s);
    s.netns = netns;
    return &s;
}

// Reads the listener lists of every namespace but the program's own, each from inside
// when it can be entered, else through the /proc/net folder of a process in it (sock_diag
// only reads the namespace it is asked in). A namespace whose processes are gone by then
// is left out: it had none left to list. Their connections are not read: the kernel keeps
// one table of connections for all namespaces and walks the whole of it for each
// namespace's dump, which would cost each namespace many times its listeners. 0, or -1
// when the program could not come back to its own namespace: the namespaces not read yet
// are then said unreadable, and nothing more may be read.
int read_other_namespaces(reading &r, const int order[PLAT_LISTS]) {
    const size_t n = ln_discover();
    // Namespaces that could not be looked for are said, not left out unsaid.
    if (ln_discovery_failed()) new_share(r, PLAT_NETNS_UNKNOWN);
    bool home = true;
    for (size_t i = 0; i < n; ++i) {
        char proc_net[48];
        const int how = home ? ln_enter(i, proc_net, sizeof proc_net) : LN_UNREAD;
        if (how == LN_GONE) continue;
        netns_share *share = new_share(r, ln_netns(i));
        if (share && how != LN_UNREAD) {
            r.lists.proc_net = proc_net;
            r.lists.no_diag = how != LN_ENTERED;
            read_namespace(r.lists, r.log, order, *share);
        }
        close_diag();
        if (how == LN_ENTERED && ln_leave() != 0) home = false;
    }
    return home ? 0 : -1;
}

// Calls fn for every endpoint of a list that was read, naming its namespace.
void deliver(table_snapshot &t, const netns_share &s, int list, plat_endpoint_fn fn, void *ctx) {
    if (!(s.readable & 1 << list)) return;
    for (size_t i = s.begin[list]; i < s.end[list]; ++i) {
        lt_endpoint &e = t.eps[i];
        e.ep.netns = s.netns;
        memcpy(e.ep.peer, e.peer, sizeof e.ep.peer);
        e.ep.peer_port_field = e.peer_port;
        fn(list, &e.ep, ctx);
    }
}

// Delivers one namespace's lists in the order asked, each TCP list's connections after it.
void deliver_share(reading &r, const netns_share &s, const int order[PLAT_LISTS], bool detail,
                   plat_endpoint_fn fn, void *ctx) {
    for (int k = 0; k < PLAT_LISTS; ++k) {
        const int list = order[k];
        if (list < 0 || list >= PLAT_LISTS) continue;
        deliver(r.lists, s, list, fn, ctx);
        if (detail && list == PLAT_TCP4) deliver(r.conns, s, PLAT_TCP4_CONNS, fn, ctx);
        if (detail && list == PLAT_TCP6) deliver(r.conns, s, PLAT_TCP6_CONNS, fn, ctx);
    }
}

// Keeps the endpoints of a list on port alone.
void keep_port(table_snapshot &t, netns_share &share, int list, int port) {
    size_t kept = share.begin[list];
    for (size_t i = share.begin[list]; i < share.end[list]; ++i)
        if (static_cast<int>(ntohs(static_cast<uint16_t>(t.eps[i].ep.port_field))) == port)
            t.eps[kept++] = t.eps[i];
    share.end[list] = t.end[list] = kept;
}

// What the last reading read the program's own lists from (plat_reader).
int g_reader = PLAT_READER_NONE;

// /proc/net tells less than sock_diag: a reading that used it at all says so.
int reader_of(int sources) {
    if (sources & LIST_FROM_PROC) return PLAT_READER_PROC;
    return sources & LIST_FROM_DIAG ? PLAT_READER_SOCK_DIAG : PLAT_READER_NONE;
}

// The reading of plat_tables_read, with only_pid the one of plat_tables_read_for, with
// only_port the one of plat_port_read.
int tables_read(const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx, int flags,
                plat_netns_fn ns_fn, uint32_t only_pid, int *held_known, int only_port = 0) {
    const bool detail = flags & PLAT_DETAIL;
    reading r;
    memset(&r, 0, sizeof r);
    r.log.grow = sys.realloc;
    r.lists.proc_net = "/proc/net";
    netns_share own;
    memset(&own, 0, sizeof own);
    // One process's sockets are those of its own namespace, whichever it is.
    char proc_net[48];
    const int away = only_pid ? ln_enter_process(only_pid, proc_net, sizeof proc_net) : LN_HOME;
    if (away == LN_OUTSIDE) {
        r.lists.proc_net = proc_net;
        r.lists.no_diag = 1;
    }
    // The program's own lists: their connections come after the owner scan, as they
    // need no owner.
    g_list_sources = 0;
    read_namespace(r.lists, r.log, order, own);
    int sources = g_list_sources;
    if (only_port)
        for (int list = PLAT_TCP4; list <= PLAT_TCP6; ++list)
            keep_port(r.lists, own, list, only_port);
    // The owner scan holds up to three descriptors at once: a hub that allows few must
    // not lose owners to a netlink socket that only the reads needed.
    close_diag();
    if (away == LN_ENTERED) ln_leave();
    const bool home = !(flags & PLAT_EVERY_NETNS) || read_other_namespaces(r, order) == 0;
    if (only_pid)
        *held_known = find_holdings(r.lists.eps, r.lists.count, only_pid);
    else if (!(flags & PLAT_ADDRESSES))
        find_owners(r.lists.eps, r.lists.count, detail);
    if (detail && home) {
        r.lists.proc_net = "/proc/net";
        r.lists.no_diag = 0;
        for (int list = PLAT_TCP4; list <= PLAT_TCP6; ++list) {
            r.lists.begin[list] = own.begin[list];
            r.lists.end[list] = own.end[list];
        }
        g_list_sources = 0;
        own.readable |= read_conns(r.lists, own.readable, r.conns, r.log);
        sources |= g_list_sources;
        for (int list = PLAT_TCP4_CONNS; list <= PLAT_TCP6_CONNS; ++list) {
            own.begin[list] = r.conns.begin[list];
            own.end[list] = r.conns.end[list];
        }
    }
    close_diag();
    g_reader = reader_of(sources);
    free(r.log.inodes);
    free(r.log.pieces);
    deliver_share(r, own, order, detail, fn, ctx);
    for (size_t i = 0; i < r.n_shares; ++i) {
        if (ns_fn) ns_fn(r.shares[i].netns, r.shares[i].readable, ctx);
        deliver_share(r, r.shares[i], order, detail, fn, ctx);
    }
    free(r.shares);
    free(r.lists.eps);
    free(r.conns.eps);
    return own.readable;
}

} // namespace

int plat_tables_read(const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx, int flags,
                     plat_netns_fn ns_fn) {
    return tables_read(order, fn, ctx, flags, ns_fn, 0, nullptr);
}

int plat_port_read(int port, plat_endpoint_fn fn, void *ctx) {
    static const int order[PLAT_LISTS] = {PLAT_TCP4, PLAT_TCP6, -1, -1};
    if (port < 1 || port > 65535) return 0;
    return tables_read(order, fn, ctx, PLAT_DETAIL | PLAT_ADDRESSES, nullptr, 0, nullptr, port);
}

int plat_reader() { return g_reader; }

int plat_tables_read_for(uint32_t pid, const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx,
                         int *held_known) {
    *held_known = 0;
    return pid ? tables_read(order, fn, ctx, PLAT_ADDRESSES, nullptr, pid, held_known) : 0;
}
