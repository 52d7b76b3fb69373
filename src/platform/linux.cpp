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
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "linux_sys.h"
#include "linux_tables.h"
#include "sock_addr.h"

// ---- process start --------------------------------------------------------

// A hub that stops reading early must not kill the run with SIGPIPE: writes then
// fail quietly and the run still ends with status 0.
void plat_stdio_init() { signal(SIGPIPE, SIG_IGN); }

int plat_net_start() { return 0; }

const char *plat_env(const char *name) { return getenv(name); }

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

namespace {

int open_file(const char *path, int flags) { return open(path, flags); }

} // namespace

const linux_sys LINUX_SYS_REAL = {socket, sendto, recv, open_file, read, realloc, malloc};
linux_sys g_linux_sys = LINUX_SYS_REAL;

namespace {

const linux_sys &sys = g_linux_sys;

// All four lists are read into one snapshot, so that the owners of every endpoint are
// found in a single pass over /proc/*/fd.
struct table_snapshot {
    lt_endpoint *eps;
    size_t count, cap;
    size_t begin[PLAT_LISTS], end[PLAT_LISTS];
    int oom; // an endpoint could not be stored: the list being read fails
};

// The list being read: where it goes, what it keeps, how many endpoints it was handed.
struct list_reader {
    table_snapshot *t;
    int proto;
    size_t handed;
};

// Keeps one endpoint of the list being read; TCP lists keep listeners only, as the
// interface promises, whichever source they come from.
void keep_endpoint(const lt_endpoint *e, void *ctx) {
    list_reader &reader = *static_cast<list_reader *>(ctx);
    ++reader.handed;
    if (reader.proto == LT_TCP && e->ep.state != PLAT_TCP_LISTEN) return;
    table_snapshot &t = *reader.t;
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

// Both sources hand a list over in pieces, and the kernel resumes each piece at a
// position inside a hash chain. Sockets bound or closed in that chain between two
// pieces shift the rest: the next piece repeats some sockets and skips others. Inside
// one piece a chain is read whole, under its lock. So a list that came in several
// pieces is read a second time with its breaks elsewhere, about one small piece's
// worth of sockets away; every socket that lives through both reads is then whole
// in at least one of them. Repeats are dropped by inode afterwards.

// One sock_diag dump of a list on fd; *pieces is the number of datagrams that
// carried sockets. 0 when the whole dump arrived.
int diag_dump(int fd, int ipv6, uint32_t seq, list_reader *reader, int *pieces) {
    *pieces = 0;
    char req[LT_REQUEST_SIZE];
    const size_t n = lt_diag_request(reader->proto, ipv6, seq, req, sizeof req);
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    if (sys.sendto(fd, req, n, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(n))
        return -1;
    // The kernel fills replies up to the reader's buffer size, capped near 32 KiB.
    // Static, like every large buffer here: the stack may be small.
    alignas(nlmsghdr) static char buf[32768];
    for (;;) {
        const ssize_t got = sys.recv(fd, buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        const size_t before = reader->handed;
        const int r = lt_diag_parse(buf, static_cast<size_t>(got), reader->proto, ipv6,
                                    keep_endpoint, reader);
        if (reader->handed > before) ++*pieces;
        if (r == LT_ERROR) return -1;
        if (r == LT_DONE) return 0;
    }
}

// One list through sock_diag; 0 when the whole dump arrived.
int read_diag(int ipv6, list_reader *reader) {
    const int fd = sys.socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    int pieces;
    const int rc = diag_dump(fd, ipv6, 1, reader, &pieces);
    // The first reply of a socket's first dump is small (a page); after that the
    // kernel fills whole buffers, the first reply of the second dump included.
    if (rc == 0 && pieces > 1) diag_dump(fd, ipv6, 2, reader, &pieces);
    close(fd);
    return rc;
}

// One read of a /proc/net file; first, when not 0, is the size of the first read().
// *pieces is the number of read() calls that returned data.
int proc_pass(const char *file, int ipv6, size_t first, list_reader *reader, int *pieces) {
    *pieces = 0;
    const int fd = sys.open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    // Each read() returns at most a page of lines, however much room it is given.
    static char buf[16384];
    size_t have = 0;
    int rc = 0;
    lt_endpoint e;
    for (;;) {
        size_t room = sizeof buf - 1 - have;
        if (*pieces == 0 && first && first < room) room = first;
        const ssize_t got = sys.read(fd, buf + have, room);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) rc = -1;
        if (got <= 0) break;
        ++*pieces;
        have += static_cast<size_t>(got);
        char *line = buf;
        for (char *nl; (nl = static_cast<char *>(memchr(line, '\n', have - (line - buf))));) {
            *nl = '\0';
            if (lt_proc_line(line, reader->proto, ipv6, &e)) keep_endpoint(&e, reader);
            line = nl + 1;
        }
        have -= static_cast<size_t>(line - buf);
        memmove(buf, line, have);
        // A line that fills the buffer is no line of these tables.
        if (have == sizeof buf - 1) {
            rc = -1;
            break;
        }
    }
    close(fd);
    return rc;
}

// One list from /proc/net, for systems that refuse sock_diag.
int read_proc(int list, int ipv6, list_reader *reader) {
    static const char *const files[PLAT_LISTS] = {"/proc/net/tcp", "/proc/net/tcp6",
                                                  "/proc/net/udp", "/proc/net/udp6"};
    int pieces;
    const int rc = proc_pass(files[list], ipv6, 0, reader, &pieces);
    // Half a page first: the breaks of the second read fall between those of the first.
    if (rc == 0 && pieces > 1) proc_pass(files[list], ipv6, 2048, reader, &pieces);
    return rc;
}

// Reads one list into the snapshot, from sock_diag or else from /proc/net, each
// socket once; 0 on success. A list that fails leaves nothing behind.
int read_list(table_snapshot &t, int list) {
    const int ipv6 = list == PLAT_TCP6 || list == PLAT_UDP6;
    list_reader reader = {&t, list == PLAT_TCP4 || list == PLAT_TCP6 ? LT_TCP : LT_UDP, 0};
    const size_t begin = t.count;
    t.oom = 0;
    int ok = read_diag(ipv6, &reader) == 0 && !t.oom;
    if (!ok) {
        t.count = begin;
        t.oom = 0;
        reader.handed = 0;
        ok = read_proc(list, ipv6, &reader) == 0 && !t.oom;
    }
    t.count = ok ? begin + lt_drop_repeats(t.eps + begin, t.count - begin) : begin;
    t.begin[list] = begin;
    t.end[list] = t.count;
    return ok ? 0 : -1;
}

// Directory reads nest at most three deep (/proc, a task list, a descriptor list).
// Each depth has a buffer of its own, in static storage: a hub may start the program
// with a small stack, and nested on it the buffers alone would overflow 64 KiB.
enum { DIR_BUF_SIZE = 32768, DIR_DEPTH = 3 };
alignas(dirent64) char g_dir_bufs[DIR_DEPTH][DIR_BUF_SIZE];
int g_dir_depth;

// Calls fn for every entry name of an open directory, until fn returns false.
template<typename Fn>
void each_entry(int dir, Fn fn) {
    if (g_dir_depth >= DIR_DEPTH) return;
    char *buf = g_dir_bufs[g_dir_depth++];
    for (bool more = true; more;) {
        const ssize_t n = getdents64(dir, buf, DIR_BUF_SIZE);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n && more;) {
            const dirent64 *d = reinterpret_cast<const dirent64 *>(buf + at);
            at += d->d_reclen;
            if (d->d_name[0] != '.' && !fn(d->d_name)) more = false;
        }
    }
    --g_dir_depth;
}

// Whether a process has threads besides its first: a task directory links its "."
// and ".." and one entry per thread.
bool has_other_threads(int proc, unsigned long pid) {
    char path[40];
    snprintf(path, sizeof path, "%lu/task", pid);
    struct stat st;
    return fstatat(proc, path, &st, 0) == 0 && st.st_nlink > 3;
}

// Calls fn with "PID/task/TID" for every thread of pid but the first, until fn
// returns false.
template<typename Fn>
void each_other_thread(int proc, unsigned long pid, Fn fn) {
    char path[40];
    snprintf(path, sizeof path, "%lu/task", pid);
    const int tasks = openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) return;
    each_entry(tasks, [&](const char *tid) {
        if (strtoul(tid, nullptr, 10) == pid) return true;
        char task[64];
        const int n = snprintf(task, sizeof task, "%lu/task/%s", pid, tid);
        if (n < 0 || static_cast<size_t>(n) >= sizeof task) return true; // no thread id
        return fn(static_cast<const char *>(task));
    });
    close(tasks);
}

// Finds the process of every endpoint: one readlinkat per descriptor of every
// process. /proc lists processes in ascending pid order, so the first holder met is
// the lowest one, and the walk stops once every socket has one.
void find_owners(table_snapshot &t) {
    if (t.count == 0) return;
    lt_owner *owners = static_cast<lt_owner *>(sys.malloc(t.count * sizeof *owners));
    if (!owners) return;
    for (size_t i = 0; i < t.count; ++i) owners[i].inode = t.eps[i].inode;
    const size_t n = lt_owners_prepare(owners, t.count);
    size_t left = n;
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Notes the sockets of one descriptor directory; the number of entries it listed,
    // -1 when it cannot be read.
    auto scan = [&](const char *fd_dir, uint32_t pid) {
        const int fds = openat(proc, fd_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fds < 0) return -1;
        int entries = 0;
        each_entry(fds, [&](const char *fd_name) {
            ++entries;
            char link[64];
            const ssize_t k = readlinkat(fds, fd_name, link, sizeof link);
            uint32_t inode;
            if (k > 0 && lt_socket_inode(link, static_cast<size_t>(k), &inode))
                left -= static_cast<size_t>(lt_owners_note(owners, n, inode, pid));
            return left > 0;
        });
        close(fds);
        return entries;
    };
    if (proc >= 0 && left > 0) {
        each_entry(proc, [&](const char *name) {
            char *end;
            const unsigned long pid = strtoul(name, &end, 10);
            if (*end || pid == 0 || pid > 0xffffffffu) return true;
            char path[32];
            snprintf(path, sizeof path, "%lu/fd", pid);
            // When the first thread has exited and others live on, the process's own
            // list is empty (and readable); a live thread still shows the descriptors.
            if (scan(path, static_cast<uint32_t>(pid)) == 0 && left > 0 &&
                has_other_threads(proc, pid))
                each_other_thread(proc, pid, [&](const char *task) {
                    char fd_dir[80];
                    snprintf(fd_dir, sizeof fd_dir, "%s/fd", task);
                    return scan(fd_dir, static_cast<uint32_t>(pid)) == 0 && left > 0;
                });
            return left > 0;
        });
    }
    if (proc >= 0) close(proc);
    for (size_t i = 0; i < t.count; ++i)
        t.eps[i].ep.pid = lt_owners_find(owners, n, t.eps[i].inode);
    free(owners);
}

} // namespace

int plat_tables_read(const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx) {
    table_snapshot t;
    memset(&t, 0, sizeof t);
    int readable = 0;
    for (int list = 0; list < PLAT_LISTS; ++list)
        if (read_list(t, list) == 0) readable |= 1 << list;
    find_owners(t);
    for (int k = 0; k < PLAT_LISTS; ++k) {
        const int list = order[k];
        if (list < 0 || list >= PLAT_LISTS || !(readable & 1 << list)) continue;
        for (size_t i = t.begin[list]; i < t.end[list]; ++i) fn(list, &t.eps[i].ep, ctx);
    }
    free(t.eps);
    return readable;
}

int plat_addr_text(int ipv6, const unsigned char *addr, char *buf, size_t size) {
    if (size > 0x7fffffff) size = 0x7fffffff;
    return inet_ntop(ipv6 ? AF_INET6 : AF_INET, addr, buf, static_cast<socklen_t>(size)) ? 0 : -1;
}

int plat_addr_parse(const char *text, int *ipv6, unsigned char addr[16]) {
    return sock_addr_parse(text, ipv6, addr);
}

namespace {

// The image path behind an exe link of /proc ("PID/exe" or "PID/task/TID/exe",
// relative to dir), without the kernel's " (deleted)" when the file is really gone:
// a file may be named so. 0 on success.
int exe_path(int dir, const char *link, char *buf, size_t size) {
    const ssize_t n = readlinkat(dir, link, buf, size);
    // A path that fills the buffer may have been cut: no path rather than a wrong one.
    if (n <= 0 || static_cast<size_t>(n) >= size) return -1;
    buf[n] = '\0';
    static const char mark[] = " (deleted)";
    const size_t k = sizeof mark - 1;
    struct stat st;
    // The link leads to the image itself, unlinked or not.
    if (static_cast<size_t>(n) >= k && memcmp(buf + n - k, mark, k) == 0 &&
        fstatat(dir, link, &st, 0) == 0 && st.st_nlink == 0)
        lt_exe_trim(buf, static_cast<size_t>(n));
    return 0;
}

} // namespace

int plat_image_name(uint32_t pid, char *buf, size_t size) {
    char path[PATH_MAX];
    char link[32];
    snprintf(link, sizeof link, "/proc/%u/exe", static_cast<unsigned>(pid));
    int rc = exe_path(AT_FDCWD, link, path, sizeof path);
    if (rc != 0 && errno == ENOENT && pid != 0) {
        // A process whose first thread has exited shows its image through the others
        // (its own link is gone; one that may not be read stays unread).
        const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (proc >= 0 && has_other_threads(proc, pid))
            each_other_thread(proc, pid, [&](const char *task) {
                char task_link[80];
                snprintf(task_link, sizeof task_link, "%s/exe", task);
                rc = exe_path(proc, task_link, path, sizeof path);
                return rc != 0;
            });
        if (proc >= 0) close(proc);
    }
    if (rc != 0) return -1;
    const char *slash = strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    const size_t len = strlen(name);
    if (len >= size) return -1;
    memcpy(buf, name, len + 1);
    return 0;
}

// ---- TCP --------------------------------------------------------------------

plat_sock plat_tcp_socket_of(int ipv6) {
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
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

int plat_connect_to(plat_sock s, int ipv6, const unsigned char *addr, int port) {
    struct sockaddr_storage to;
    const socklen_t len = static_cast<socklen_t>(sock_addr_make(ipv6, addr, port, &to));
    if (connect(static_cast<int>(s), reinterpret_cast<struct sockaddr *>(&to), len) == 0)
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

int plat_local_endpoint(plat_sock s, int *ipv6, unsigned char addr[16], int *port) {
    struct sockaddr_storage a = {};
    socklen_t len = sizeof a;
    if (getsockname(static_cast<int>(s), reinterpret_cast<struct sockaddr *>(&a), &len) != 0)
        return -1;
    return sock_addr_read(&a, ipv6, addr, port);
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
