// ports-reader: reads what the hub's account may not (which process holds each socket,
// another account's image file, folder and descriptors) for plugin_ports, with two
// capabilities and nothing else: CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE, from its file
// (installed root:ports 0750).
//
// It takes no input from a request: only fixed verbs, a decimal pid, and no variable,
// file or path of anyone's choosing. It refuses to run as a CGI program, keeps no other
// capability (none inheritable or ambient), sets no_new_privs, and drops both before it
// writes a byte. Its output is the bounded, versioned format of reader_format.h.
//
//   ports-reader owners                  every socket's holders, and their image names
//   ports-reader netns                   every network namespace a process is in, by
//                                        the entry of its /proc/PID/net/tcp
//   ports-reader process PID [cmdline]   one process's image file, folder, sockets and,
//                                        when asked, its command line
//
// Any other argument: exit status 2 and no output. Without the two capabilities (and
// not root): status 3 and no output, so that the caller reads what it can itself.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/linux/proc_dirs.h"
#include "platform/linux/reader_client.h"
#include "platform/linux/reader_format.h"
#include "platform/linux/tables.h"
#include "platform/platform.h"

extern char **environ;

namespace {

enum { EXIT_USAGE = 2, EXIT_NO_RIGHTS = 3, EXIT_FAILED = 4 };

// ---- capabilities -----------------------------------------------------------------

const uint64_t WANTED = 1ull << CAP_DAC_READ_SEARCH | 1ull << CAP_SYS_PTRACE;

bool caps_get(__user_cap_data_struct data[2]) {
    __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &head, data) == 0;
}

bool caps_set(uint64_t effective, uint64_t permitted) {
    __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    for (int i = 0; i < 2; ++i) {
        data[i].effective = static_cast<uint32_t>(effective >> (32 * i));
        data[i].permitted = static_cast<uint32_t>(permitted >> (32 * i));
        data[i].inheritable = 0;
    }
    return syscall(SYS_capset, &head, data) == 0;
}

// Keeps the two capabilities, where held, and nothing else; true when both are in force.
bool keep_only_wanted() {
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_data_struct data[2];
    if (!caps_get(data)) return false;
    const uint64_t permitted = (uint64_t{data[1].permitted} << 32 | data[0].permitted) & WANTED;
    if (!caps_set(permitted, permitted) || !caps_get(data)) return false;
    const uint64_t effective = uint64_t{data[1].effective} << 32 | data[0].effective;
    return effective == WANTED;
}

// ---- the output, kept in memory until every capability is gone ----------------------

struct output {
    char *buf;
    size_t len, cap;
    size_t records;
    bool failed;
};
output g_out;

void put(const char *text, size_t n) {
    output &o = g_out;
    if (o.failed) return;
    if (o.len + n > o.cap) {
        size_t cap = o.cap ? o.cap : 65536;
        while (cap < o.len + n) cap *= 2;
        void *grown = cap <= READER_MAX_OUTPUT ? realloc(o.buf, cap) : nullptr;
        if (!grown) {
            o.failed = true;
            return;
        }
        o.buf = static_cast<char *>(grown);
        o.cap = cap;
    }
    memcpy(o.buf + o.len, text, n);
    o.len += n;
}

void put_text(const char *text) { put(text, strlen(text)); }

// One record: its line (with the line feed).
void put_record(const char *line) {
    put_text(line);
    ++g_out.records;
}

// A record ending in a text, percent-encoded.
void put_record_text(const char *start, const char *text, size_t len) {
    static char encoded[3 * READER_MAX_TEXT + 1];
    if (len > READER_MAX_TEXT) {
        g_out.failed = true;
        return;
    }
    put_text(start);
    put(encoded, reader_encode(text, len, encoded));
    put("\n", 1);
    ++g_out.records;
}

// ---- every socket's holders ---------------------------------------------------------

struct held {
    uint32_t inode, pid;
};
held *g_held;
size_t g_held_count, g_held_cap;
bool g_missed;

void note(uint32_t inode, uint32_t pid) {
    if (g_held_count == g_held_cap) {
        const size_t cap = g_held_cap ? g_held_cap * 2 : 4096;
        void *grown = realloc(g_held, cap * sizeof *g_held);
        if (!grown) {
            g_missed = true;
            return;
        }
        g_held = static_cast<held *>(grown);
        g_held_cap = cap;
    }
    g_held[g_held_count++] = {inode, pid};
}

// The socket inodes among the descriptors of a /proc folder (relative to proc); the
// entries listed, -1 when it cannot be read.
int scan_fds(int proc, const char *fd_dir, uint32_t pid) {
    const int fds = openat(proc, fd_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds < 0) {
        if (errno != ENOENT && errno != ESRCH) g_missed = true;
        return -1;
    }
    struct ctx_t {
        int fds;
        uint32_t pid;
        int entries;
    } ctx = {fds, pid, 0};
    proc_dir_each(
        fds,
        [](const char *name, void *p) {
            ctx_t &c = *static_cast<ctx_t *>(p);
            ++c.entries;
            char link[64];
            const ssize_t k = readlinkat(c.fds, name, link, sizeof link);
            uint32_t inode;
            if (k > 0 && lt_socket_inode(link, static_cast<size_t>(k), &inode)) note(inode, c.pid);
            return true;
        },
        &ctx);
    close(fds);
    return ctx.entries;
}

// A process's descriptors, and its other threads' where its first thread has exited.
int scan_process(int proc, uint32_t pid) {
    char path[64];
    snprintf(path, sizeof path, "%u/fd", static_cast<unsigned>(pid));
    const int got = scan_fds(proc, path, pid);
    if (got != 0) return got;
    snprintf(path, sizeof path, "%u/task", static_cast<unsigned>(pid));
    const int tasks = openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) return got;
    struct ctx_t {
        int proc;
        uint32_t pid;
    } ctx = {proc, pid};
    proc_dir_each(
        tasks,
        [](const char *name, void *p) {
            ctx_t &c = *static_cast<ctx_t *>(p);
            char fd_dir[96];
            snprintf(fd_dir, sizeof fd_dir, "%u/task/%s/fd", static_cast<unsigned>(c.pid), name);
            return scan_fds(c.proc, fd_dir, c.pid) <= 0;
        },
        &ctx);
    close(tasks);
    return got;
}

uint32_t pid_of_name(const char *name) {
    char *end;
    errno = 0;
    const unsigned long v = strtoul(name, &end, 10);
    return *end || errno || v == 0 || v > 0xffffffffu ? 0 : static_cast<uint32_t>(v);
}

int by_inode_then_pid(const void *a, const void *b) {
    const held &x = *static_cast<const held *>(a), &y = *static_cast<const held *>(b);
    if (x.inode != y.inode) return x.inode < y.inode ? -1 : 1;
    return x.pid < y.pid ? -1 : x.pid > y.pid;
}

int by_number(const void *a, const void *b) {
    const uint32_t x = *static_cast<const uint32_t *>(a), y = *static_cast<const uint32_t *>(b);
    return x < y ? -1 : x > y;
}

void owners() {
    int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        g_out.failed = true;
        return;
    }
    proc_dir_each(
        proc,
        [](const char *name, void *p) {
            const uint32_t pid = pid_of_name(name);
            if (pid) scan_process(*static_cast<int *>(p), pid);
            return true;
        },
        &proc);
    close(proc);
    if (g_held_count) qsort(g_held, g_held_count, sizeof *g_held, by_inode_then_pid);
    // The holders whose names the caller needs: each socket's lowest and second lowest.
    uint32_t *named = static_cast<uint32_t *>(malloc((2 * g_held_count + 1) * sizeof *named));
    size_t n_named = 0;
    if (!named) {
        g_out.failed = true;
        return;
    }
    char line[96];
    // Tens of thousands of lines at full load: written by hand rather than by snprintf.
    const auto decimal = [](char *at, uint32_t v) {
        char digits[10];
        int n = 0;
        do digits[n++] = static_cast<char>('0' + v % 10); while (v /= 10);
        while (n) *at++ = digits[--n];
        return at;
    };
    for (size_t i = 0; i < g_held_count;) {
        const uint32_t inode = g_held[i].inode;
        uint32_t lowest = g_held[i].pid, next = 0, holders = 0, last = 0;
        for (; i < g_held_count && g_held[i].inode == inode; ++i) {
            if (g_held[i].pid == last) continue; // one process, many descriptors
            last = g_held[i].pid;
            if (holders == 1) next = last;
            ++holders;
        }
        char *at = line;
        *at++ = 'o';
        const uint32_t fields[4] = {inode, lowest, next, holders};
        for (uint32_t v : fields) {
            *at++ = ' ';
            at = decimal(at, v);
        }
        *at++ = '\n';
        put(line, static_cast<size_t>(at - line));
        ++g_out.records;
        named[n_named++] = lowest;
        if (next) named[n_named++] = next;
    }
    if (n_named) qsort(named, n_named, sizeof *named, by_number);
    for (size_t i = 0; i < n_named; ++i) {
        if (i && named[i] == named[i - 1]) continue;
        char name[256];
        if (plat_image_name(named[i], name, sizeof name) != 0 || !name[0]) continue;
        snprintf(line, sizeof line, "n %u ", static_cast<unsigned>(named[i]));
        put_record_text(line, name, strlen(name));
    }
    free(named);
    if (g_missed) put_record("x owners\n");
}

// ---- the network namespaces -----------------------------------------------------------

struct space_seen {
    uint64_t netns, tcp;
};

int by_netns(const void *a, const void *b) {
    const space_seen &x = *static_cast<const space_seen *>(a);
    const space_seen &y = *static_cast<const space_seen *>(b);
    if (x.netns != y.netns) return x.netns < y.netns ? -1 : 1;
    return x.tcp < y.tcp ? -1 : x.tcp > y.tcp;
}

void namespaces() {
    struct ctx_t {
        int proc;
        space_seen *seen;
        size_t n, cap;
        bool failed;
    } ctx = {open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC), nullptr, 0, 0, false};
    if (ctx.proc < 0) {
        g_out.failed = true;
        return;
    }
    proc_dir_each(
        ctx.proc,
        [](const char *name, void *p) {
            ctx_t &c = *static_cast<ctx_t *>(p);
            const uint32_t pid = pid_of_name(name);
            char path[48];
            struct stat ns, tcp;
            snprintf(path, sizeof path, "%u/ns/net", static_cast<unsigned>(pid));
            if (!pid || fstatat(c.proc, path, &ns, 0) != 0) return true;
            snprintf(path, sizeof path, "%u/net/tcp", static_cast<unsigned>(pid));
            if (fstatat(c.proc, path, &tcp, 0) != 0) return true;
            if (c.n == c.cap) {
                const size_t cap = c.cap ? c.cap * 2 : 256;
                void *grown = realloc(c.seen, cap * sizeof *c.seen);
                if (!grown) {
                    c.failed = true;
                    return false;
                }
                c.seen = static_cast<space_seen *>(grown);
                c.cap = cap;
            }
            c.seen[c.n++] = {ns.st_ino, tcp.st_ino};
            return true;
        },
        &ctx);
    close(ctx.proc);
    if (ctx.failed) g_out.failed = true;
    if (ctx.n) qsort(ctx.seen, ctx.n, sizeof *ctx.seen, by_netns);
    char line[64];
    for (size_t i = 0; i < ctx.n; ++i) {
        if (i && ctx.seen[i].netns == ctx.seen[i - 1].netns && ctx.seen[i].tcp == ctx.seen[i - 1].tcp)
            continue;
        snprintf(line, sizeof line, "m %llu %llu\n",
                 static_cast<unsigned long long>(ctx.seen[i].netns),
                 static_cast<unsigned long long>(ctx.seen[i].tcp));
        put_record(line);
    }
    free(ctx.seen);
}

// ---- one process ----------------------------------------------------------------------

void process(uint32_t pid, bool want_cmdline) {
    plat_proc_more m;
    plat_proc_more_of(pid, want_cmdline, &m);
    char line[64];
    snprintf(line, sizeof line, "e %d %d ", m.exe_state,
             m.exe_state == PLAT_READ && m.exe_deleted >= 0 ? m.exe_deleted : 2);
    if (m.exe_state == PLAT_READ && m.exe && m.exe[0])
        put_record_text(line, m.exe, strlen(m.exe));
    else
        put_record_text(line, "-", 1);
    snprintf(line, sizeof line, "c %d ", m.cwd_state);
    if (m.cwd_state == PLAT_READ && m.cwd && m.cwd[0])
        put_record_text(line, m.cwd, strlen(m.cwd));
    else
        put_record_text(line, "-", 1);
    snprintf(line, sizeof line, "k %d\n", want_cmdline ? m.cmdline_state : PLAT_NONE);
    put_record(line);
    if (want_cmdline && m.cmdline_state == PLAT_READ)
        for (size_t at = 0; at < m.cmdline_len;) {
            const size_t n = strnlen(m.cmdline + at, m.cmdline_len - at);
            put_record_text("a ", m.cmdline + at, n);
            at += n + 1;
        }
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool known = proc >= 0 && scan_process(proc, pid) >= 0 && !g_missed;
    if (proc >= 0) close(proc);
    snprintf(line, sizeof line, "h %d\n", known ? 1 : 0);
    put_record(line);
    if (!known) return;
    if (g_held_count) qsort(g_held, g_held_count, sizeof *g_held, by_inode_then_pid);
    for (size_t i = 0; i < g_held_count; ++i) {
        if (i && g_held[i].inode == g_held[i - 1].inode) continue;
        snprintf(line, sizeof line, "s %u\n", static_cast<unsigned>(g_held[i].inode));
        put_record(line);
    }
}

// A pid as the kernel gives them: decimal digits without a leading zero, 1 to its limit.
bool pid_text(const char *t, uint32_t *pid) {
    const size_t n = strlen(t);
    if (n == 0 || n > 7 || t[0] < '1' || t[0] > '9') return false;
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        v = v * 10 + static_cast<uint32_t>(t[i] - '0');
    }
    if (v > 4194304) return false; // PID_MAX_LIMIT
    *pid = v;
    return true;
}

bool write_all(const char *p, size_t n) {
    while (n) {
        const ssize_t w = write(1, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    // A web server must never run it as a CGI program, whatever folder it is found in.
    for (char **e = environ; e && *e; ++e)
        if (strncmp(*e, "GATEWAY_INTERFACE=", 18) == 0) return EXIT_USAGE;
    enum { OWNERS, NETNS, PROCESS } verb;
    uint32_t pid = 0;
    bool cmdline = false;
    if (argc == 2 && strcmp(argv[1], "owners") == 0) {
        verb = OWNERS;
    } else if (argc == 2 && strcmp(argv[1], "netns") == 0) {
        verb = NETNS;
    } else if ((argc == 3 || argc == 4) && strcmp(argv[1], "process") == 0 &&
               pid_text(argv[2], &pid) && (argc == 3 || strcmp(argv[3], "cmdline") == 0)) {
        verb = PROCESS;
        cmdline = argc == 4;
    } else {
        return EXIT_USAGE;
    }
    // It starts nothing, not even itself through the platform files it shares with the
    // program, and nothing could gain a right if it did; then only the two.
    reader_never();
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return EXIT_FAILED;
    if (!keep_only_wanted() && geteuid() != 0) return EXIT_NO_RIGHTS;
    put_text("ports-reader 1\n");
    if (verb == OWNERS)
        owners();
    else if (verb == NETNS)
        namespaces();
    else
        process(pid, cmdline);
    // Every capability goes before a byte is written.
    if (!caps_set(0, 0)) return EXIT_FAILED;
    char end[32];
    snprintf(end, sizeof end, "end %zu\n", g_out.records);
    put_text(end);
    if (g_out.failed) return EXIT_FAILED;
    return write_all(g_out.buf, g_out.len) ? 0 : EXIT_FAILED;
}
