#include "platform/linux/tables.h"

#include <cstdlib>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

size_t lt_diag_request(int proto, int ipv6, uint32_t seq, void *buf, size_t size,
                       const void *filter, size_t filter_len) {
    struct request {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } r;
    // The older form names no family: the kernel walks its table once for both.
    struct request_both {
        nlmsghdr nlh;
        inet_diag_req req;
    } both;
    static_assert(sizeof r + sizeof(rtattr) <= LT_REQUEST_SIZE);
    static_assert(sizeof both + sizeof(rtattr) <= LT_REQUEST_SIZE);
    const size_t head = proto == LT_CONNS_BOTH ? sizeof both : sizeof r;
    const size_t total = head + (filter_len ? RTA_SPACE(filter_len) : 0);
    if (size < total || filter_len > LT_FILTER_SIZE) return 0;
    if (proto == LT_CONNS_BOTH) {
        memset(&both, 0, sizeof both);
        both.nlh.nlmsg_len = static_cast<uint32_t>(total);
        both.nlh.nlmsg_type = TCPDIAG_GETSOCK;
        both.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        both.nlh.nlmsg_seq = seq;
        both.req.idiag_states = 1u << TCP_ESTABLISHED;
        memcpy(buf, &both, sizeof both);
    }
    memset(&r, 0, sizeof r);
    r.nlh.nlmsg_len = static_cast<uint32_t>(total);
    r.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    r.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    r.nlh.nlmsg_seq = seq;
    r.req.sdiag_family = ipv6 ? AF_INET6 : AF_INET;
    if (proto == LT_TCP) {
        r.req.sdiag_protocol = IPPROTO_TCP;
        // The listening bit alone: any other bit makes the kernel walk every connection.
        r.req.idiag_states = 1u << TCP_LISTEN;
    } else if (proto == LT_CONNS) {
        r.req.sdiag_protocol = IPPROTO_TCP;
        r.req.idiag_states = 1u << TCP_ESTABLISHED;
    } else {
        r.req.sdiag_protocol = IPPROTO_UDP;
        r.req.idiag_states = ~0u;
    }
    if (proto != LT_CONNS_BOTH) memcpy(buf, &r, sizeof r);
    if (filter_len) {
        rtattr a;
        a.rta_len = static_cast<unsigned short>(RTA_LENGTH(filter_len));
        a.rta_type = INET_DIAG_REQ_BYTECODE;
        unsigned char *at = static_cast<unsigned char *>(buf) + head;
        memcpy(at, &a, sizeof a);
        memcpy(at + RTA_LENGTH(0), filter, filter_len);
    }
    return total;
}

namespace {

// An endpoint whose facts are all still unknown.
lt_endpoint blank_endpoint() {
    lt_endpoint e;
    memset(&e, 0, sizeof e);
    e.ep.account = -1;
    e.ep.queue = e.ep.backlog = e.ep.v6only = -1;
    return e;
}

// The INET_DIAG_SKV6ONLY attribute among the n bytes of attributes at p; -1 without it.
int32_t v6only_attr(const unsigned char *p, size_t n) {
    while (n >= sizeof(rtattr)) {
        rtattr a;
        memcpy(&a, p, sizeof a);
        if (a.rta_len < sizeof a || a.rta_len > n) break;
        if ((a.rta_type & NLA_TYPE_MASK) == INET_DIAG_SKV6ONLY && a.rta_len > sizeof a)
            return p[RTA_LENGTH(0)] != 0;
        const size_t step = RTA_ALIGN(a.rta_len);
        if (step >= n) break;
        p += step;
        n -= step;
    }
    return -1;
}

} // namespace

int lt_netlink_walk(const void *data, size_t len, lt_message_fn fn, void *ctx) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (len > 0) {
        nlmsghdr h;
        if (len < sizeof h) return LT_ERROR;
        memcpy(&h, p, sizeof h);
        if (h.nlmsg_len < sizeof h || h.nlmsg_len > len) return LT_ERROR;
        if (h.nlmsg_type == NLMSG_DONE) return LT_DONE;
        if (h.nlmsg_type == NLMSG_ERROR) return LT_ERROR;
        if (fn(h.nlmsg_type, p + NLMSG_HDRLEN, h.nlmsg_len - NLMSG_HDRLEN, ctx) != 0)
            return LT_ERROR;
        const size_t step = NLMSG_ALIGN(h.nlmsg_len);
        if (step >= len) break;
        p += step;
        len -= step;
    }
    return LT_MORE;
}

namespace {

struct diag_reading {
    int proto, ipv6;
    lt_endpoint_fn fn;
    void *ctx;
};

// One socket of a sock_diag reply; 0, or -1 for a message too short to be one.
int take_diag(uint16_t type, const unsigned char *body, size_t len, void *ctx) {
    const diag_reading &r = *static_cast<const diag_reading *>(ctx);
    const int proto = r.proto;
    const bool both = proto == LT_CONNS_BOTH;
    if (type != (both ? TCPDIAG_GETSOCK : SOCK_DIAG_BY_FAMILY)) return 0;
    inet_diag_msg m;
    if (len < sizeof m) return -1;
    memcpy(&m, body, sizeof m);
    if (m.idiag_family != (r.ipv6 ? AF_INET6 : AF_INET) &&
        !(both && (m.idiag_family == AF_INET || m.idiag_family == AF_INET6)))
        return 0;
    const int ipv6 = m.idiag_family == AF_INET6;
    lt_endpoint e = blank_endpoint();
    e.ipv6 = ipv6;
    memcpy(e.ep.addr, m.id.idiag_src, ipv6 ? 16 : 4);
    uint16_t sport, dport;
    memcpy(&sport, &m.id.idiag_sport, sizeof sport);
    memcpy(&dport, &m.id.idiag_dport, sizeof dport);
    e.ep.port_field = sport; // still in network byte order, as the tables hold it
    e.ep.state = proto != LT_UDP ? lt_tcp_state(m.idiag_state) : 0;
    e.ep.account = m.idiag_uid;
    // A listener's queues are its accept queue: waiting now, and the limit.
    if (proto == LT_TCP && e.ep.state == PLAT_TCP_LISTEN) {
        e.ep.queue = static_cast<int32_t>(m.idiag_rqueue & 0x7fffffff);
        e.ep.backlog = static_cast<int32_t>(m.idiag_wqueue & 0x7fffffff);
    }
    if (ipv6) e.ep.v6only = v6only_attr(body + NLMSG_ALIGN(sizeof m), len - NLMSG_ALIGN(sizeof m));
    memcpy(e.peer, m.id.idiag_dst, ipv6 ? 16 : 4);
    e.peer_port = dport;
    e.inode = m.idiag_inode;
    // The interface the socket is bound to: a link-local address's zone.
    e.ep.scope_id = m.id.idiag_if;
    r.fn(&e, r.ctx);
    return 0;
}

} // namespace

int lt_diag_parse(const void *data, size_t len, int proto, int ipv6, lt_endpoint_fn fn, void *ctx) {
    diag_reading r = {proto, ipv6, fn, ctx};
    return lt_netlink_walk(data, len, take_diag, &r);
}

uint32_t lt_tcp_state(unsigned kernel_state) {
    switch (kernel_state) {
    case TCP_ESTABLISHED: return 5;
    case TCP_SYN_SENT: return 3;
    case TCP_SYN_RECV: return 4;
    case TCP_FIN_WAIT1: return 6;
    case TCP_FIN_WAIT2: return 7;
    case TCP_TIME_WAIT: return 11;
    case TCP_CLOSE: return 1;
    case TCP_CLOSE_WAIT: return 8;
    case TCP_LAST_ACK: return 10;
    case TCP_LISTEN: return PLAT_TCP_LISTEN;
    case TCP_CLOSING: return 9;
    default: return 0;
    }
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads exactly n hex digits at *s into *v and moves past them.
bool hex_fixed(const char **s, int n, uint32_t *v) {
    uint32_t x = 0;
    for (int i = 0; i < n; ++i) {
        const int d = hex_digit((*s)[i]);
        if (d < 0) return false;
        x = x << 4 | static_cast<uint32_t>(d);
    }
    *s += n;
    *v = x;
    return true;
}

// Reads 1 to 8 hex digits (a state, say) and moves past them.
bool hex_field(const char **s, uint32_t *v) {
    int n = 0;
    while (n < 9 && hex_digit((*s)[n]) >= 0) ++n;
    return n >= 1 && n <= 8 && hex_fixed(s, n, v);
}

bool dec_field(const char **s, uint32_t *v) {
    uint64_t x = 0;
    const char *p = *s;
    while (*p >= '0' && *p <= '9') {
        x = x * 10 + static_cast<uint64_t>(*p - '0');
        if (x > 0xffffffffu) return false;
        ++p;
    }
    if (p == *s) return false;
    *s = p;
    *v = static_cast<uint32_t>(x);
    return true;
}

void skip_blanks(const char **s) {
    while (**s == ' ' || **s == '\t') ++*s;
}

// Moves past one blank-separated field and the blanks after it.
bool skip_field(const char **s) {
    const char *p = *s;
    while (*p && *p != ' ' && *p != '\t' && *p != '\n') ++p;
    if (p == *s) return false;
    *s = p;
    skip_blanks(s);
    return true;
}

} // namespace

namespace {

// An address and port as /proc/net prints them, "ADDR:PORT" followed by a blank: the
// address bytes and the port in network byte order.
bool proc_address(const char **s, int ipv6, unsigned char *addr, uint32_t *port_field) {
    // The kernel prints each 32-bit word of the address as a number in host byte
    // order; storing the number back gives the address bytes as they were.
    uint32_t word, port;
    for (int w = 0; w < (ipv6 ? 4 : 1); ++w) {
        if (!hex_fixed(s, 8, &word)) return false;
        memcpy(addr + 4 * w, &word, 4);
    }
    if (*(*s)++ != ':' || !hex_fixed(s, 4, &port) || (**s != ' ' && **s != '\t')) return false;
    skip_blanks(s);
    const unsigned char net_port[2] = {static_cast<unsigned char>(port >> 8),
                                       static_cast<unsigned char>(port)};
    uint16_t field;
    memcpy(&field, net_port, sizeof field);
    *port_field = field;
    return true;
}

} // namespace

int lt_proc_line(const char *line, int proto, int ipv6, lt_endpoint *out) {
    const char *s = line;
    uint32_t slot, state, tx_queue, rx_queue, uid, inode;
    skip_blanks(&s);
    if (!dec_field(&s, &slot) || *s++ != ':') return 0;
    skip_blanks(&s);
    lt_endpoint e = blank_endpoint();
    e.ipv6 = ipv6 != 0;
    if (!proc_address(&s, ipv6, e.ep.addr, &e.ep.port_field) ||
        !proc_address(&s, ipv6, e.peer, &e.peer_port) || !hex_field(&s, &state))
        return 0;
    skip_blanks(&s);
    // tx_queue:rx_queue, tr:tm->when, retrnsmt, uid, timeout, then the inode.
    if (!hex_field(&s, &tx_queue) || *s++ != ':' || !hex_field(&s, &rx_queue)) return 0;
    skip_blanks(&s);
    if (!skip_field(&s) || !skip_field(&s) || !dec_field(&s, &uid)) return 0;
    skip_blanks(&s);
    if (!skip_field(&s) || !dec_field(&s, &inode)) return 0;
    e.ep.state = proto != LT_UDP ? lt_tcp_state(state) : 0;
    e.ep.account = uid;
    // A listener's receive queue is its accept queue; the file does not show the limit.
    if (proto == LT_TCP && e.ep.state == PLAT_TCP_LISTEN)
        e.ep.queue = static_cast<int32_t>(rx_queue & 0x7fffffff);
    e.inode = inode;
    *out = e;
    return 1;
}

int lt_socket_inode(const char *link, size_t n, uint32_t *inode) {
    static const char prefix[] = "socket:[";
    const size_t k = sizeof prefix - 1;
    if (n < k + 2 || memcmp(link, prefix, k) != 0 || link[n - 1] != ']') return 0;
    uint64_t x = 0;
    for (size_t i = k; i < n - 1; ++i) {
        if (link[i] < '0' || link[i] > '9') return 0;
        x = x * 10 + static_cast<uint64_t>(link[i] - '0');
        if (x > 0xffffffffu) return 0;
    }
    *inode = static_cast<uint32_t>(x);
    return 1;
}

size_t lt_exe_trim(char *path, size_t n) {
    static const char mark[] = " (deleted)";
    const size_t k = sizeof mark - 1;
    if (n >= k && memcmp(path + n - k, mark, k) == 0) n -= k;
    path[n] = '\0';
    return n;
}

namespace {

int by_inode(const void *a, const void *b) {
    const uint32_t x = static_cast<const lt_owner *>(a)->inode;
    const uint32_t y = static_cast<const lt_owner *>(b)->inode;
    return x < y ? -1 : x > y;
}

// An endpoint and its position in the list.
struct placed {
    const lt_endpoint *e;
    size_t at;
};

int by_position(const placed &x, const placed &y) { return x.at < y.at ? -1 : x.at > y.at; }

int by_inode_then_position(const void *a, const void *b) {
    const placed &x = *static_cast<const placed *>(a), &y = *static_cast<const placed *>(b);
    if (x.e->inode != y.e->inode) return x.e->inode < y.e->inode ? -1 : 1;
    return by_position(x, y);
}

bool same_inode(const lt_endpoint &a, const lt_endpoint &b) {
    return a.inode != 0 && a.inode == b.inode;
}

// Drops every endpoint that is the same as one earlier in the list, keeping the order
// of the rest: sorted by key, then by position, the first of each run is kept.
size_t drop_later(lt_endpoint *e, size_t n, int (*by_key_then_position)(const void *, const void *),
                  bool (*same)(const lt_endpoint &, const lt_endpoint &)) {
    if (n < 2) return n;
    placed *order = static_cast<placed *>(malloc(n * sizeof *order));
    unsigned char *drop = static_cast<unsigned char *>(calloc(n, 1));
    if (order && drop) {
        for (size_t i = 0; i < n; ++i) order[i] = {e + i, i};
        qsort(order, n, sizeof *order, by_key_then_position);
        for (size_t i = 1; i < n; ++i)
            if (same(*order[i].e, *order[i - 1].e)) drop[order[i].at] = 1;
        size_t kept = 0;
        for (size_t i = 0; i < n; ++i)
            if (!drop[i]) e[kept++] = e[i];
        n = kept;
    }
    free(order);
    free(drop);
    return n;
}

// Index of inode in the sorted table, or n.
size_t owner_slot(const lt_owner *o, size_t n, uint32_t inode) {
    size_t lo = 0, hi = n;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (o[mid].inode < inode)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < n && o[lo].inode == inode ? lo : n;
}

} // namespace

size_t lt_drop_repeats(lt_endpoint *e, size_t n) {
    return drop_later(e, n, by_inode_then_position, same_inode);
}

namespace {

int by_ends_then_position(const void *a, const void *b) {
    const placed &x = *static_cast<const placed *>(a), &y = *static_cast<const placed *>(b);
    // The ports first: they mostly decide, and cost less than the addresses.
    if (x.e->peer_port != y.e->peer_port) return x.e->peer_port < y.e->peer_port ? -1 : 1;
    if (x.e->ep.port_field != y.e->ep.port_field)
        return x.e->ep.port_field < y.e->ep.port_field ? -1 : 1;
    int c = memcmp(x.e->ep.addr, y.e->ep.addr, sizeof x.e->ep.addr);
    if (!c) c = memcmp(x.e->peer, y.e->peer, sizeof x.e->peer);
    if (!c) c = by_position(x, y);
    return c;
}

bool same_ends(const lt_endpoint &a, const lt_endpoint &b) {
    return memcmp(a.ep.addr, b.ep.addr, sizeof a.ep.addr) == 0 &&
           memcmp(a.peer, b.peer, sizeof a.peer) == 0 && a.ep.port_field == b.ep.port_field &&
           a.peer_port == b.peer_port;
}

} // namespace

size_t lt_drop_repeat_conns(lt_endpoint *e, size_t n) {
    return drop_later(e, n, by_ends_then_position, same_ends);
}

size_t lt_split_families(lt_endpoint *e, size_t n, lt_endpoint *scratch) {
    size_t v4 = 0, v6 = 0;
    for (size_t i = 0; i < n; ++i) {
        if (e[i].ipv6)
            scratch[v6++] = e[i];
        else
            e[v4++] = e[i];
    }
    memcpy(e + v4, scratch, v6 * sizeof *e);
    return v4;
}

size_t lt_owners_prepare(lt_owner *o, size_t n) {
    if (n > 1) qsort(o, n, sizeof *o, by_inode);
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        if (o[i].inode == 0 || (kept > 0 && o[kept - 1].inode == o[i].inode)) continue;
        lt_owner fresh;
        fresh.inode = o[i].inode;
        fresh.pid = 0;
        o[kept++] = fresh;
    }
    return kept;
}

int lt_owners_note(lt_owner *o, size_t n, uint32_t inode, uint32_t pid) {
    const size_t i = owner_slot(o, n, inode);
    if (i == n || pid == 0) return 0;
    lt_owner &w = o[i];
    if (pid == w.last || pid == w.pid || pid == w.next) return 0;
    w.last = pid;
    ++w.holders;
    if (w.pid == 0) {
        w.pid = pid;
        return 1;
    }
    if (pid < w.pid) {
        w.next = w.pid;
        w.pid = pid;
    } else if (w.next == 0 || pid < w.next) {
        w.next = pid;
    }
    return 0;
}

uint32_t lt_owners_find(const lt_owner *o, size_t n, uint32_t inode) {
    const size_t i = owner_slot(o, n, inode);
    return i == n ? 0 : o[i].pid;
}

const lt_owner *lt_owners_entry(const lt_owner *o, size_t n, uint32_t inode) {
    const size_t i = owner_slot(o, n, inode);
    return i == n ? nullptr : &o[i];
}
