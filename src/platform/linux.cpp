// Linux side of the platform layer.
#include "platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "linux_tables.h"

// ---- process start --------------------------------------------------------

// A hub that stops reading early must not kill the run with SIGPIPE: writes then
// fail quietly and the run still ends with status 0.
void plat_stdio_init() { signal(SIGPIPE, SIG_IGN); }

int plat_net_start() { return 0; }

// ---- clocks ---------------------------------------------------------------

uint64_t plat_clock_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int plat_utc_now(struct tm *out) {
    time_t now = time(nullptr);
    return gmtime_r(&now, out) ? 0 : -1;
}

// ---- endpoint tables, owners and image paths --------------------------------

// All four lists are read into one snapshot when the tables are opened, so that the
// owners of every endpoint are found in a single pass over /proc/*/fd.

namespace {

struct table_snapshot {
    lt_endpoint *eps;
    size_t count, cap;
    size_t begin[4], end[4];
    int ok[4];
    int oom; // an endpoint could not be stored: the list being read fails
};

table_snapshot g_tables;

int list_index(int proto, int ipv6) { return (ipv6 ? 2 : 0) + (proto == PLAT_UDP ? 1 : 0); }

// Keeps one endpoint of the list being read; TCP lists keep listeners only, as the
// interface promises, whichever source they come from.
void keep_endpoint(const lt_endpoint *e, void *ctx) {
    const int proto = *static_cast<const int *>(ctx);
    if (proto == PLAT_TCP && e->ep.state != PLAT_TCP_LISTEN) return;
    table_snapshot &t = g_tables;
    if (t.count == t.cap) {
        const size_t cap = t.cap ? t.cap * 2 : 256;
        void *grown = realloc(t.eps, cap * sizeof *t.eps);
        if (!grown) {
            t.oom = 1;
            return;
        }
        t.eps = static_cast<lt_endpoint *>(grown);
        t.cap = cap;
    }
    t.eps[t.count++] = *e;
}

// One list through sock_diag; 0 when the whole dump arrived.
int read_diag(int proto, int ipv6) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    char req[LT_REQUEST_SIZE];
    const size_t n = lt_diag_request(proto, ipv6, 1, req, sizeof req);
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    int rc = -1;
    if (sendto(fd, req, n, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(n)) {
        // The kernel fills replies up to the reader's buffer size, capped near 32 KiB.
        alignas(nlmsghdr) char buf[32768];
        for (;;) {
            const ssize_t got = recv(fd, buf, sizeof buf, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            const int r =
                lt_diag_parse(buf, static_cast<size_t>(got), proto, ipv6, keep_endpoint, &proto);
            if (r == LT_ERROR) break;
            if (r == LT_DONE) {
                rc = 0;
                break;
            }
        }
    }
    close(fd);
    return rc;
}

// One list from /proc/net, for systems that refuse sock_diag.
int read_proc(int proto, int ipv6) {
    static const char *const files[4] = {"/proc/net/tcp", "/proc/net/udp", "/proc/net/tcp6",
                                         "/proc/net/udp6"};
    FILE *f = fopen(files[list_index(proto, ipv6)], "re");
    if (!f) return -1;
    char line[512];
    lt_endpoint e;
    while (fgets(line, sizeof line, f))
        if (lt_proc_line(line, proto, ipv6, &e)) keep_endpoint(&e, &proto);
    const int rc = ferror(f) ? -1 : 0;
    fclose(f);
    return rc;
}

// Calls fn for every entry name of an open directory.
template<typename Fn>
void each_entry(int dir, Fn fn) {
    alignas(dirent64) char buf[32768];
    for (;;) {
        const ssize_t n = getdents64(dir, buf, sizeof buf);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const dirent64 *d = reinterpret_cast<const dirent64 *>(buf + at);
            at += d->d_reclen;
            if (d->d_name[0] != '.' && !fn(d->d_name)) return;
        }
    }
}

// Finds the process of every endpoint: one readlinkat per descriptor of every
// process. /proc lists processes in ascending pid order, so the first holder met is
// the lowest one, and the walk stops once every socket has one.
void find_owners() {
    table_snapshot &t = g_tables;
    if (t.count == 0) return;
    lt_owner *owners = static_cast<lt_owner *>(malloc(t.count * sizeof *owners));
    if (!owners) return;
    for (size_t i = 0; i < t.count; ++i) owners[i].inode = t.eps[i].inode;
    const size_t n = lt_owners_prepare(owners, t.count);
    size_t left = n;
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc >= 0 && left > 0) {
        each_entry(proc, [&](const char *name) {
            char *end;
            const unsigned long pid = strtoul(name, &end, 10);
            if (*end || pid == 0 || pid > 0xffffffffu) return true;
            char path[32];
            snprintf(path, sizeof path, "%lu/fd", pid);
            const int fds = openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fds < 0) return true;
            each_entry(fds, [&](const char *fd_name) {
                char link[64];
                const ssize_t k = readlinkat(fds, fd_name, link, sizeof link);
                uint32_t inode;
                if (k > 0 && lt_socket_inode(link, static_cast<size_t>(k), &inode))
                    left -= static_cast<size_t>(
                        lt_owners_note(owners, n, inode, static_cast<uint32_t>(pid)));
                return left > 0;
            });
            close(fds);
            return left > 0;
        });
    }
    if (proc >= 0) close(proc);
    for (size_t i = 0; i < t.count; ++i)
        t.eps[i].ep.pid = lt_owners_find(owners, n, t.eps[i].inode);
    free(owners);
}

} // namespace

void plat_tables_open() {
    plat_tables_close();
    table_snapshot &t = g_tables;
    // The order of the passes: IPv4 TCP, IPv4 UDP, IPv6 TCP, IPv6 UDP.
    for (int ipv6 = 0; ipv6 < 2; ++ipv6) {
        for (int proto = PLAT_TCP; proto <= PLAT_UDP; ++proto) {
            const int i = list_index(proto, ipv6);
            t.begin[i] = t.count;
            t.oom = 0;
            t.ok[i] = read_diag(proto, ipv6) == 0 && !t.oom;
            if (!t.ok[i]) {
                t.count = t.begin[i];
                t.oom = 0;
                t.ok[i] = read_proc(proto, ipv6) == 0 && !t.oom;
            }
            if (!t.ok[i]) t.count = t.begin[i];
            t.end[i] = t.count;
        }
    }
    find_owners();
}

void plat_tables_close() {
    free(g_tables.eps);
    memset(&g_tables, 0, sizeof g_tables);
}

int plat_table_read(int proto, int ipv6, plat_endpoint_fn fn, void *ctx) {
    if (proto != PLAT_TCP && proto != PLAT_UDP) return -1;
    const int i = list_index(proto, ipv6);
    if (!g_tables.ok[i]) return -1;
    for (size_t k = g_tables.begin[i]; k < g_tables.end[i]; ++k) fn(&g_tables.eps[k].ep, ctx);
    return 0;
}

int plat_addr_text(int ipv6, const unsigned char *addr, char *buf, size_t size) {
    if (size > 0x7fffffff) size = 0x7fffffff;
    return inet_ntop(ipv6 ? AF_INET6 : AF_INET, addr, buf, static_cast<socklen_t>(size)) ? 0 : -1;
}

int plat_image_path(uint32_t pid, char *buf, size_t size) {
    char link[32];
    snprintf(link, sizeof link, "/proc/%u/exe", static_cast<unsigned>(pid));
    const ssize_t n = readlink(link, buf, size);
    // A path that fills the buffer may have been cut: no path rather than a wrong one.
    if (n <= 0 || static_cast<size_t>(n) >= size) return -1;
    lt_exe_trim(buf, static_cast<size_t>(n));
    return 0;
}

char plat_path_sep() { return '/'; }

// ---- loopback TCP -----------------------------------------------------------

plat_sock plat_tcp_socket() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? PLAT_NO_SOCK : fd;
}

void plat_set_nonblocking(plat_sock s) {
    const int flags = fcntl(static_cast<int>(s), F_GETFL);
    if (flags >= 0) fcntl(static_cast<int>(s), F_SETFL, flags | O_NONBLOCK);
}

static int outcome_of(int err) {
    switch (err) {
    case 0: return PLAT_CONNECTED;
    // An interrupted non-blocking connect goes on in the background, like one in progress.
    case EINPROGRESS:
    case EINTR: return PLAT_IN_PROGRESS;
    case ECONNREFUSED: return PLAT_REFUSED;
    default: return PLAT_FAILED;
    }
}

int plat_connect_loopback(plat_sock s, int port) {
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(static_cast<int>(s), reinterpret_cast<struct sockaddr *>(&to), sizeof to) == 0)
        return PLAT_CONNECTED;
    return outcome_of(errno);
}

int plat_wait(plat_sock s, int for_write, int64_t ms) {
    const uint64_t deadline = plat_clock_ms() + static_cast<uint64_t>(ms < 0 ? 0 : ms);
    struct pollfd p = {static_cast<int>(s), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    for (;;) {
        const uint64_t now = plat_clock_ms();
        const uint64_t left = now < deadline ? deadline - now : 0;
        const int n = poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        // A signal must not shorten the wait into a false time-out: wait out the rest.
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

int plat_connect_result(plat_sock s) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &err, &len);
    const int outcome = outcome_of(err);
    return outcome == PLAT_IN_PROGRESS ? PLAT_FAILED : outcome;
}

long plat_send(plat_sock s, const void *data, size_t len) {
    return send(static_cast<int>(s), data, len, MSG_NOSIGNAL);
}

long plat_recv(plat_sock s, void *buf, size_t len) {
    long n;
    do n = recv(static_cast<int>(s), buf, len, 0);
    while (n < 0 && errno == EINTR);
    return n;
}

void plat_close(plat_sock s) { close(static_cast<int>(s)); }
