// One socket list of one network namespace: sock_diag, else /proc/net, read until its
// reads vouch for the whole of it; and the established connections.
#include "platform/linux/lists.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/linux/proc_dirs.h"
#include "platform/linux/sys.h"
#include "platform/linux/tables.h"
#include "platform/linux/walks.h"

namespace {

int open_file(const char *path, int flags) { return open(path, flags); }

} // namespace

int g_list_sources;

const linux_sys LINUX_SYS_REAL = {socket, sendto, recv, open_file, read, realloc, malloc};
linux_sys g_linux_sys = LINUX_SYS_REAL;

namespace {

const linux_sys &sys = g_linux_sys;

// The list being read: where it goes, what it keeps, how many endpoints it was handed,
// the pieces of its reads so far, and which read this is (0 for the first).
struct list_reader {
    table_snapshot *t;
    int proto;
    size_t handed;
    const void *filter; // kernel bytecode for the request, or null
    size_t filter_len;
    // One read, no second one: a count of connections, which come and go all the
    // time, is no better for it, and each read of them walks the whole hash table.
    int once;
    lt_walk_log *log;
    int read;
    // Reads after the reads vouched for the whole list, to settle the fate of sockets
    // listed before (below): their first piece is a whole one.
    int settling;
};

// How large a read's first piece is, in eighths of a whole one.
unsigned first_eighths(const list_reader *reader);

// Whether a list holds IPv6 endpoints.
int list_ipv6(int list) {
    return list == PLAT_TCP6 || list == PLAT_UDP6 || list == PLAT_TCP6_CONNS;
}

// The port of a port field (network order in its low 16 bits), in host order.
unsigned host_port(uint32_t port_field) {
    return ntohs(static_cast<uint16_t>(port_field & 0xffffu));
}

// Keeps one endpoint of the list being read; TCP lists keep listeners only, as the
// interface promises, whichever source they come from. Every endpoint goes to the log.
void keep_endpoint(const lt_endpoint *e, void *ctx) {
    list_reader &reader = *static_cast<list_reader *>(ctx);
    ++reader.handed;
    lt_log_entry(reader.log, e->inode);
    if (reader.proto == LT_TCP && e->ep.state != PLAT_TCP_LISTEN) return;
    const bool conns = reader.proto == LT_CONNS || reader.proto == LT_CONNS_BOTH;
    if (conns && e->ep.state != PLAT_TCP_ESTABLISHED) return;
    // Repeats are dropped by inode: one without an inode is taken from the first read.
    if (reader.read > 0 && e->inode == 0) return;
    table_snapshot &t = *reader.t;
    if (conns && t.listen_ports) {
        const unsigned port = host_port(e->ep.port_field);
        if (!(t.listen_ports[port / 8] & 1 << port % 8)) return;
    }
    if (t.count == t.cap) {
        const size_t cap = t.cap ? t.cap * 2 : 256;
        void *grown = sys.realloc(t.eps, cap * sizeof *t.eps);
        if (!grown) {
            t.oom = 1;
            return;
        }
        t.eps = static_cast<lt_endpoint *>(grown);
        t.cap = cap;
    }
    t.eps[t.count++] = *e;
}

// Both sources hand a list over in pieces and resume each at a position, so sockets
// bound or closed between two pieces make the next one repeat some sockets or skip
// others, as many as there were binds or closes, whatever their number. So a list that
// came in several pieces is read again, each read's pieces broken elsewhere, until the
// pieces of all reads together vouch for the whole table (walks.h says when they
// do); repeats are dropped by inode afterwards. A quiet list in one piece is read once.
enum { MAX_READS = 8 };

// Where a later read breaks its pieces, as a share of a piece: its first piece is that
// much of a whole one, in eighths, so each read's breaks fall between those before.
const unsigned FIRST_EIGHTHS[MAX_READS] = {8, 4, 2, 6, 1, 5, 3, 7};

unsigned first_eighths(const list_reader *reader) {
    return reader->settling ? 8 : FIRST_EIGHTHS[reader->read];
}

// The kernel builds each reply of a dump as large as the largest receive so far on the
// socket, capped a little under 32 KiB; before any receive, and when it cannot get that
// much memory at once, one page (at most 8 KiB) less 256 to 768 bytes of its own.
enum { DIAG_ROOM = 32768, DIAG_ROOM_CAPPED = DIAG_ROOM - 768 };
alignas(nlmsghdr) char g_diag_buf[DIAG_ROOM]; // static: the stack may be small

size_t page_room() {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 && page < 8192 ? static_cast<size_t>(page) : 8192;
}

ssize_t diag_recv(int fd, size_t len) {
    for (;;) {
        const ssize_t got = sys.recv(fd, g_diag_buf, len, 0);
        if (got >= 0 || errno != EINTR) return got;
    }
}

// Makes the kernel build the first reply of fd's next dump `room` bytes large: the
// acknowledgement of an empty request, received into that many bytes. 0 on success.
int diag_set_room(int fd, size_t room) {
    nlmsghdr h;
    memset(&h, 0, sizeof h);
    h.nlmsg_len = sizeof h;
    h.nlmsg_type = NLMSG_NOOP;
    h.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    if (sys.sendto(fd, &h, sizeof h, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof h))
        return -1;
    const ssize_t got = diag_recv(fd, room);
    nlmsghdr ack;
    nlmsgerr err;
    if (got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof err))) return -1;
    memcpy(&ack, g_diag_buf, sizeof ack);
    memcpy(&err, g_diag_buf + NLMSG_HDRLEN, sizeof err);
    return ack.nlmsg_type == NLMSG_ERROR && err.error == 0 ? 0 : -1;
}

// One sock_diag dump of a list on fd, whose first reply the kernel builds `first`
// bytes large, each reply one piece. 0 when the whole dump arrived.
int diag_dump(int fd, int ipv6, size_t first, list_reader *reader) {
    alignas(nlmsghdr) static char req[size_t{LT_REQUEST_SIZE} + LT_FILTER_SIZE];
    const size_t n = lt_diag_request(reader->proto, ipv6, static_cast<uint32_t>(reader->read + 1),
                                     req, sizeof req, reader->filter, reader->filter_len);
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    if (sys.sendto(fd, req, n, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(n))
        return -1;
    const size_t page = page_room();
    size_t room = first, last = 0, last_room = 0, entry_max = 0;
    unsigned flags = LT_PIECE_FIRST;
    for (;;) {
        const ssize_t got = diag_recv(fd, sizeof g_diag_buf);
        if (got <= 0) return -1;
        const size_t before = reader->handed;
        const int r = lt_diag_parse(g_diag_buf, static_cast<size_t>(got), reader->proto, ipv6,
                                    keep_endpoint, reader);
        if (r == LT_ERROR) return -1;
        const size_t entries = reader->handed - before;
        if (entries > 0) {
            lt_log_piece(reader->log, flags);
            flags = 0;
            last = static_cast<size_t>(got);
            last_room = room < DIAG_ROOM_CAPPED ? room : static_cast<size_t>(DIAG_ROOM_CAPPED);
            const size_t each = (last + entries - 1) / entries + 64;
            if (each > entry_max) entry_max = each;
        }
        // Later replies are built after a receive of the whole buffer.
        room = DIAG_ROOM;
        if (r != LT_DONE) continue;
        // The end comes in a reply of its own, from a walk of its own that found no
        // more; the last piece reached the end itself only if it had room to spare.
        if (flags)
            lt_log_piece(reader->log, LT_PIECE_FIRST | LT_PIECE_TO_END);
        else if (entries > 0 ||
                 lt_piece_reached_end(last, entry_max, page - 768, page - 256, last_room))
            lt_log_to_end(reader->log);
        return 0;
    }
}

// The netlink socket of every list's first read: its replies are whole from the first.
int g_diag_fd = -1;

// One read of a list through sock_diag; 0 when the whole dump arrived. A later read
// needs a socket of its own, since the kernel only ever grows a socket's replies.
int read_diag(int list, list_reader *reader) {
    const int ipv6 = list_ipv6(list);
    const size_t first = DIAG_ROOM / 8 * first_eighths(reader);
    int fd = reader->read == 0 ? g_diag_fd : -1;
    if (fd < 0) {
        fd = sys.socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (fd < 0) return -1;
        if (diag_set_room(fd, first) != 0) {
            close(fd);
            return -1;
        }
        if (reader->read == 0) g_diag_fd = fd;
    }
    const int rc = diag_dump(fd, ipv6, first, reader);
    // A socket whose dump broke off may still hold replies of it.
    if (rc != 0 || fd != g_diag_fd) {
        if (fd == g_diag_fd) g_diag_fd = -1;
        close(fd);
    }
    return rc;
}

// One read of a /proc/net file, the first read() `first` bytes when not 0; each read()
// walks the table once, a piece. 0 when the file was read to its end.
int proc_pass(const char *file, int ipv6, size_t first, list_reader *reader) {
    const int fd = sys.open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    // Each read() returns at most a page of lines, however much room it is given.
    static char buf[16384];
    size_t have = 0;
    // A read() walks on until its room is used up and stops at the end of that line,
    // whose rest comes first in the next read(): a walk ends at the first line end at or
    // past the end of its read(). Each such end waits here, with whether it filled its
    // room (a walk cut short by the room did not end with the table).
    struct walk_end {
        uint64_t at;
        bool filled;
    } ends[4];
    int pending = 0;
    uint64_t at = 0, walk_from = 0, last = 0; // stream offsets; `at` is buf's start
    size_t longest = 0;
    bool last_filled = true;
    unsigned flags = LT_PIECE_FIRST;
    int rc = 0;
    lt_endpoint e;
    for (bool first_read = true;;) {
        size_t room = sizeof buf - 1 - have;
        if (first_read && first && first < room) room = first;
        const ssize_t got = sys.read(fd, buf + have, room);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || pending == 4) rc = -1;
        if (got <= 0 || rc) break;
        first_read = false;
        have += static_cast<size_t>(got);
        ends[pending++] = {at + have, static_cast<size_t>(got) == room};
        char *line = buf;
        for (char *nl; (nl = static_cast<char *>(memchr(line, '\n', have - (line - buf))));) {
            *nl = '\0';
            if (static_cast<size_t>(nl + 1 - line) > longest) longest = nl + 1 - line;
            if (lt_proc_line(line, reader->proto, ipv6, &e)) keep_endpoint(&e, reader);
            line = nl + 1;
            const uint64_t end = at + static_cast<uint64_t>(line - buf);
            for (; pending > 0 && end >= ends[0].at; --pending) {
                lt_log_piece(reader->log, flags);
                flags = 0;
                last = end - walk_from;
                last_filled = ends[0].filled;
                walk_from = end;
                memmove(ends, ends + 1, sizeof ends - sizeof ends[0]);
            }
        }
        at += static_cast<uint64_t>(line - buf);
        have -= static_cast<size_t>(line - buf);
        memmove(buf, line, have);
        // A line that fills the buffer is no line of these tables.
        if (have == sizeof buf - 1) {
            rc = -1;
            break;
        }
    }
    close(fd);
    if (rc == 0 && flags == 0 && !last_filled) {
        // The kernel walks into a buffer of one page.
        const size_t page = page_room();
        if (lt_piece_reached_end(last, longest + 64, page, page, 0)) lt_log_to_end(reader->log);
    }
    return rc;
}

// One read of a list from /proc/net, for systems that refuse sock_diag.
int read_proc(int list, list_reader *reader) {
    static const char *const files[PLAT_ALL_LISTS] = {"tcp", "tcp6", "udp", "udp6", "tcp", "tcp6"};
    const int ipv6 = list_ipv6(list);
    const unsigned eighths = first_eighths(reader);
    const size_t first = eighths == 8 ? 0 : page_room() / 8 * eighths;
    char path[64];
    snprintf(path, sizeof path, "%s/%s", reader->t->proc_net, files[list]);
    return proc_pass(path, ipv6, first, reader);
}

// Reads a list from one source until its reads vouch for the whole of it, or
// MAX_READS. 0 when the first read arrived whole; a later read that fails is dropped
// and the earlier ones stand.
//
// Sockets bound and closed in bursts gather at the head of a chain, where a read whose
// first piece is small may not walk past them in one piece: the sockets an earlier read
// saw there may have closed, or lie in the gap after that piece. When the reads vouch
// for the whole list but such sockets are left, more reads, each with a whole first
// piece, walk over them until they settle (walks.h). One is not always enough: a
// /proc/net piece holds a page of lines, and a burst of binds may be longer than that
// when it is read, not when the next read comes.
int read_covered(list_reader &reader, int list, int (*read_once)(int, list_reader *)) {
    table_snapshot &t = *reader.t;
    lt_log_clear(reader.log);
    reader.settling = 0;
    for (reader.read = 0; reader.read < MAX_READS; ++reader.read) {
        const size_t kept = t.count, logged = reader.log->count, pieces = reader.log->n_pieces;
        if (read_once(list, &reader) != 0 || t.oom) {
            if (reader.read == 0) return -1;
            t.count = kept;
            t.oom = 0;
            reader.log->count = logged;
            reader.log->n_pieces = pieces;
            return 0;
        }
        if (reader.once || reader.log->lost) return 0;
        if (!reader.settling && lt_log_covers(reader.log) == 0) continue;
        if (lt_log_settled(reader.log) != 0) return 0;
        reader.settling = 1;
    }
    // Every read was spent and the reads never vouched for the whole list, or for the
    // fate of each socket an earlier one listed: the answer says so.
    note_unreadable(PLAT_FACT_CHURN);
    return 0;
}

// Drops the endpoints of the sockets that the reads prove closed (walks.h), so
// that sockets closed between reads do not pile up; the new count. Without memory to
// tell, nothing is dropped.
size_t drop_closed(lt_endpoint *e, size_t n, const lt_walk_log &log) {
    if (log.lost || log.count == 0 || n == 0) return n;
    uint32_t *closed = static_cast<uint32_t *>(sys.malloc(log.count * sizeof *closed));
    const size_t k = closed ? lt_log_closed(&log, closed) : 0;
    if (k) {
        size_t kept = 0;
        for (size_t i = 0; i < n; ++i)
            if (!lt_inode_among(closed, k, e[i].inode)) e[kept++] = e[i];
        n = kept;
    }
    free(closed);
    return n;
}

int list_proto(int list) {
    if (list == PLAT_TCP4 || list == PLAT_TCP6) return LT_TCP;
    return list == PLAT_UDP4 || list == PLAT_UDP6 ? LT_UDP : LT_CONNS;
}

} // namespace

// Reads one list into the snapshot, from sock_diag or else from /proc/net, each
// socket once; 0 on success. A list that fails leaves nothing behind.
int read_list(table_snapshot &t, lt_walk_log &log, int list) {
    list_reader reader = {&t, list_proto(list), 0, nullptr, 0, 0, &log, 0, 0};
    if (reader.proto == LT_CONNS) {
        reader.filter = t.conn_filter;
        reader.filter_len = t.conn_filter_len;
        reader.once = 1;
    }
    const size_t begin = t.count;
    t.oom = 0;
    int ok = !t.no_diag && read_covered(reader, list, read_diag) == 0;
    int source = LIST_FROM_DIAG;
    if (!ok) {
        t.count = begin;
        t.oom = 0;
        reader.handed = 0;
        ok = read_covered(reader, list, read_proc) == 0;
        source = LIST_FROM_PROC;
    }
    if (ok) g_list_sources |= source;
    // Connections still waiting to be accepted have no inode: told apart by their ends.
    // A list read more than once keeps no socket a later read proves closed.
    if (ok && reader.proto == LT_CONNS)
        t.count = begin + lt_drop_repeat_conns(t.eps + begin, t.count - begin);
    else if (ok)
        t.count = begin +
                  lt_drop_repeats(t.eps + begin, drop_closed(t.eps + begin, t.count - begin, log));
    else
        t.count = begin;
    t.begin[list] = begin;
    t.end[list] = t.count;
    return ok ? 0 : -1;
}

namespace {

// Both families' connections from one dump, in the older request form that names no
// family: the kernel walks its whole connection table for every dump, so one walk
// instead of two is much of what counting the connections costs. 0 with both lists'
// ranges set; -1 (a kernel without that form, a failed dump, no memory) leaves nothing.
int read_conns_together(table_snapshot &t, lt_walk_log &log) {
    list_reader reader = {&t, LT_CONNS_BOTH, 0, t.conn_filter, t.conn_filter_len, 1, &log, 0, 0};
    const size_t begin = t.count;
    t.oom = 0;
    lt_log_clear(&log);
    lt_endpoint *scratch = nullptr;
    if (t.no_diag || read_diag(PLAT_TCP4_CONNS, &reader) != 0 || t.oom ||
        !(scratch =
              static_cast<lt_endpoint *>(sys.malloc((t.count - begin + 1) * sizeof *scratch)))) {
        t.count = begin;
        t.oom = 0;
        return -1;
    }
    const size_t n = t.count - begin;
    size_t kept4 = 0, kept6 = 0;
    // No connection at all leaves a snapshot that may hold no memory yet.
    if (n > 0) {
        const size_t v4 = lt_split_families(t.eps + begin, n, scratch);
        kept4 = lt_drop_repeat_conns(t.eps + begin, v4);
        memmove(t.eps + begin + kept4, t.eps + begin + v4, (n - v4) * sizeof *t.eps);
        kept6 = lt_drop_repeat_conns(t.eps + begin + kept4, n - v4);
    }
    free(scratch);
    g_list_sources |= LIST_FROM_DIAG;
    t.begin[PLAT_TCP4_CONNS] = begin;
    t.end[PLAT_TCP4_CONNS] = t.begin[PLAT_TCP6_CONNS] = begin + kept4;
    t.end[PLAT_TCP6_CONNS] = t.count = begin + kept4 + kept6;
    return 0;
}

// Notes the ports of the TCP listeners of t read, for the connection lists that go
// into c: a bit each, and the kernel's filter when there are not too many of them.
void note_listen_ports(const table_snapshot &t, int readable, table_snapshot &c) {
    static unsigned char bits[65536 / 8];
    static uint16_t ports[LT_FILTER_PORTS];
    alignas(uint32_t) static unsigned char filter[LT_FILTER_SIZE];
    memset(bits, 0, sizeof bits);
    for (int list = PLAT_TCP4; list <= PLAT_TCP6; ++list) {
        if (!(readable & 1 << list)) continue;
        for (size_t i = t.begin[list]; i < t.end[list]; ++i) {
            const unsigned port = host_port(t.eps[i].ep.port_field);
            bits[port / 8] = static_cast<unsigned char>(bits[port / 8] | 1 << port % 8);
        }
    }
    size_t n = 0;
    for (unsigned port = 1; port < 65536 && n <= LT_FILTER_PORTS; ++port)
        if (bits[port / 8] & 1 << port % 8) {
            if (n < LT_FILTER_PORTS) ports[n] = static_cast<uint16_t>(port);
            ++n;
        }
    c.listen_ports = bits;
    // Without a filter (too many ports, or none) the kernel hands over every connection.
    c.conn_filter_len = n <= LT_FILTER_PORTS ? lt_port_filter(ports, n, filter, sizeof filter) : 0;
    c.conn_filter = c.conn_filter_len ? filter : nullptr;
}

} // namespace

// Reads the connection lists of the namespace whose listener lists t has just read, into
// c; the bits of those read.
int read_conns(const table_snapshot &t, int readable, table_snapshot &c, lt_walk_log &log) {
    note_listen_ports(t, readable, c);
    c.proc_net = t.proc_net;
    c.no_diag = t.no_diag;
    // A family without a TCP listener read has no connection that could count
    // (Linux lists a dual-stack socket's IPv4 connections with IPv6 ones).
    bool none[2];
    for (int k = 0; k < 2; ++k) {
        const int tcp = k ? PLAT_TCP6 : PLAT_TCP4;
        none[k] = readable & 1 << tcp && t.begin[tcp] == t.end[tcp];
    }
    const int both = 1 << PLAT_TCP4_CONNS | 1 << PLAT_TCP6_CONNS;
    if (!none[0] && !none[1] && read_conns_together(c, log) == 0) return both;
    int read = 0;
    for (int list = PLAT_TCP4_CONNS; list <= PLAT_TCP6_CONNS; ++list) {
        const bool skip = none[list - PLAT_TCP4_CONNS];
        if (skip) c.begin[list] = c.end[list] = c.count;
        if (skip || read_list(c, log, list) == 0) read |= 1 << list;
    }
    return read;
}

// Closes the netlink socket of first reads: it reads the namespace it was made in.
void close_diag() {
    if (g_diag_fd >= 0) close(g_diag_fd);
    g_diag_fd = -1;
}
