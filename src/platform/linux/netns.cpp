#include "platform/linux/netns.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/addrs.h"
#include "platform/linux/proc_dirs.h"
#include "platform/linux/reader_client.h"
#include "platform/linux/sys.h"
#include "platform/platform.h"

namespace {

// One namespace: its name, the inode of its /proc/net/tcp entry (which every process may
// look at, and which is the namespace's own), and its first and last process seen.
struct space {
    int64_t netns;
    uint64_t tcp_ino;
    uint32_t pids[2];
    bool named_apart; // named by the reader: still read from outside, through /proc/PID/net
};

space *g_spaces;
size_t g_count, g_cap;
// The program's own namespace, to come back to; its /proc/net/tcp entry.
int g_home_fd = -1;
uint64_t g_home_ino, g_home_tcp;
// setns was refused once: the program may not enter any namespace.
bool g_no_setns;
unsigned g_discoveries;
// The last discovery could not look at every process: namespaces may be missing from it.
bool g_discovery_failed;

// Whether a call failed for want of descriptors or memory, not for the process.
bool starved(int err) { return err == EMFILE || err == ENFILE || err == ENOMEM; }

// One address of a namespace: which (the index of a space, or SIZE_MAX for the own).
struct held_addr {
    size_t space;
    la_addr a;
};
held_addr *g_addrs;
size_t g_addr_count, g_addr_cap;
bool g_addrs_read;

const size_t OWN = static_cast<size_t>(-1);

// The inode of a /proc entry relative to the /proc folder, or 0 when it cannot be seen.
uint64_t inode_at(int proc, const char *path) {
    struct stat st;
    return fstatat(proc, path, &st, 0) == 0 ? st.st_ino : 0;
}

uint64_t tcp_ino_of(int proc, uint32_t pid) {
    char path[40];
    snprintf(path, sizeof path, "%u/net/tcp", static_cast<unsigned>(pid));
    return inode_at(proc, path);
}

// Adds a namespace first seen in pid; false without memory.
bool add_space(int64_t netns, uint64_t tcp_ino, uint32_t pid) {
    if (g_count == g_cap) {
        const size_t cap = g_cap ? g_cap * 2 : 64;
        void *grown = g_linux_sys.realloc(g_spaces, cap * sizeof *g_spaces);
        if (!grown) return false;
        g_spaces = static_cast<space *>(grown);
        g_cap = cap;
    }
    g_spaces[g_count++] = {netns, tcp_ino, {pid, pid}, false};
    return true;
}

// The namespace by name, or by its /proc/net/tcp entry (name 0), or null.
space *find_space(int64_t netns, uint64_t tcp_ino) {
    // Processes of one namespace often follow each other.
    static size_t last;
    for (size_t k = 0; k < g_count; ++k) {
        space &s = g_spaces[(last + k) % g_count];
        if (netns ? s.netns == netns : s.tcp_ino == tcp_ino) {
            last = (last + k) % g_count;
            return &s;
        }
    }
    return nullptr;
}

struct walk {
    int proc;
};

// Notes the namespace of one /proc entry.
bool note_process(const char *name, void *ctx) {
    const int proc = static_cast<walk *>(ctx)->proc;
    char *end;
    const unsigned long pid = strtoul(name, &end, 10);
    if (*end || pid == 0 || pid > 0xffffffffu) return true;
    char path[40];
    snprintf(path, sizeof path, "%lu/ns/net", pid);
    struct stat st;
    int64_t netns = 0;
    uint64_t tcp_ino = 0;
    if (fstatat(proc, path, &st, 0) == 0) {
        if (st.st_ino == g_home_ino) return true;
        netns = static_cast<int64_t>(st.st_ino);
    } else if (errno == EACCES || errno == EPERM) {
        // Another account's process: which namespace it is in may not be learnt, but its
        // lists may be read, and its /proc/net/tcp entry tells namespaces apart.
        tcp_ino = tcp_ino_of(proc, static_cast<uint32_t>(pid));
        if (tcp_ino == 0 || tcp_ino == g_home_tcp) return true;
    } else {
        return true; // gone
    }
    space *s = find_space(netns, tcp_ino);
    if (s) {
        s->pids[1] = static_cast<uint32_t>(pid);
        return true;
    }
    if (netns) tcp_ino = tcp_ino_of(proc, static_cast<uint32_t>(pid));
    // A namespace first seen through another account's process may be named by a later
    // one: the name is kept with the entry the tcp inode finds.
    if (netns && tcp_ino && (s = find_space(0, tcp_ino)) && s->netns == PLAT_NETNS_UNNAMED) {
        s->netns = netns;
        s->pids[0] = s->pids[1] = static_cast<uint32_t>(pid);
        return true;
    }
    add_space(netns ? netns : PLAT_NETNS_UNNAMED, tcp_ino, static_cast<uint32_t>(pid));
    return true;
}

void forget_addrs() {
    g_addr_count = 0;
    g_addrs_read = false;
}

} // namespace

namespace {

// Enters the namespace of an open ns/net link: LN_ENTERED, or LN_OUTSIDE where the
// program may not. The way back is held only while the program is away: a hub that
// allows few descriptors must not lose owners to it.
int enter(int proc, int fd) {
    if (!g_no_setns && g_home_fd < 0) g_home_fd = openat(proc, "self/ns/net", O_RDONLY | O_CLOEXEC);
    if (!g_no_setns && g_home_fd >= 0 && setns(fd, CLONE_NEWNET) == 0) return LN_ENTERED;
    g_no_setns = g_no_setns || errno == EPERM;
    if (g_home_fd >= 0) close(g_home_fd);
    g_home_fd = -1;
    return LN_OUTSIDE;
}

} // namespace

size_t ln_discover() {
    ++g_discoveries;
    g_count = 0;
    g_discovery_failed = false;
    forget_addrs();
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        g_discovery_failed = true;
        return 0;
    }
    struct stat st;
    if (fstatat(proc, "self/ns/net", &st, 0) == 0) {
        g_home_ino = st.st_ino;
        g_home_tcp = inode_at(proc, "self/net/tcp");
        walk w = {proc};
        proc_dir_each(proc, note_process, &w);
    }
    close(proc);
    // Namespaces only another account's processes are in: the reader may name them.
    bool unnamed = false;
    for (size_t k = 0; k < g_count; ++k) unnamed = unnamed || g_spaces[k].netns == PLAT_NETNS_UNNAMED;
    if (unnamed && geteuid() != 0)
        reader_netns(
            [](uint64_t netns, uint64_t tcp_ino, void *) {
                space *s = tcp_ino && netns <= INT64_MAX ? find_space(0, tcp_ino) : nullptr;
                if (s && s->netns == PLAT_NETNS_UNNAMED && !find_space(static_cast<int64_t>(netns), 0)) {
                    s->netns = static_cast<int64_t>(netns);
                    s->named_apart = true;
                }
            },
            nullptr);
    return g_count;
}

bool ln_discovery_failed() { return g_discovery_failed; }

int64_t ln_netns(size_t i) { return i < g_count ? g_spaces[i].netns : PLAT_NETNS_UNNAMED; }

int ln_enter(size_t i, char *proc_net, size_t size) {
    if (i >= g_count) return LN_GONE;
    const space &s = g_spaces[i];
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return starved(errno) ? LN_UNREAD : LN_GONE;
    int how = LN_GONE;
    bool short_of = false; // a way in was not tried for want of descriptors
    for (uint32_t pid : s.pids) {
        snprintf(proc_net, size, "/proc/%u/net", static_cast<unsigned>(pid));
        if (s.netns == PLAT_NETNS_UNNAMED || s.named_apart) {
            if (tcp_ino_of(proc, pid) != s.tcp_ino) continue;
            how = LN_OUTSIDE;
            break;
        }
        char path[40];
        snprintf(path, sizeof path, "%u/ns/net", static_cast<unsigned>(pid));
        const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
        if (fd < 0 && starved(errno)) short_of = true;
        struct stat st;
        // A pid since taken by a process of another namespace is no way in.
        if (fd < 0 || fstat(fd, &st) != 0 || static_cast<int64_t>(st.st_ino) != s.netns) {
            if (fd >= 0) close(fd);
            continue;
        }
        how = enter(proc, fd);
        close(fd);
        break;
    }
    close(proc);
    // Not gone, only not reached: it is said unread.
    return how == LN_GONE && short_of ? LN_UNREAD : how;
}

int ln_enter_process(uint32_t pid, char *proc_net, size_t size) {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return LN_GONE;
    snprintf(proc_net, size, "/proc/%u/net", static_cast<unsigned>(pid));
    char path[40];
    snprintf(path, sizeof path, "%u/ns/net", static_cast<unsigned>(pid));
    int how = LN_GONE;
    const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        how = fstat(fd, &st) == 0 && st.st_ino == inode_at(proc, "self/ns/net") ? LN_HOME
                                                                                : enter(proc, fd);
        close(fd);
    } else if (errno == EACCES || errno == EPERM) {
        // Another account's process: its /proc/net/tcp entry tells whether it shares ours.
        const uint64_t tcp = tcp_ino_of(proc, pid);
        how = !tcp ? LN_GONE : tcp == inode_at(proc, "self/net/tcp") ? LN_HOME : LN_OUTSIDE;
    }
    close(proc);
    return how;
}

int ln_leave() {
    if (g_home_fd < 0 || setns(g_home_fd, CLONE_NEWNET) != 0) return -1;
    close(g_home_fd);
    g_home_fd = -1;
    return 0;
}

namespace {

struct dump_ctx {
    size_t space;
};

void keep_addr(const la_addr *a, void *ctx) {
    if (g_addr_count == g_addr_cap) {
        const size_t cap = g_addr_cap ? g_addr_cap * 2 : 64;
        void *grown = g_linux_sys.realloc(g_addrs, cap * sizeof *g_addrs);
        if (!grown) return;
        g_addrs = static_cast<held_addr *>(grown);
        g_addr_cap = cap;
    }
    g_addrs[g_addr_count++] = {static_cast<dump_ctx *>(ctx)->space, *a};
}

// The addresses of the namespace the program is in now, as those of space.
void dump_here(size_t space) {
    const int fd = g_linux_sys.socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return;
    dump_ctx c = {space};
    const size_t before = g_addr_count;
    // A dump cut short says too little: an address missing from it could be taken for
    // another namespace's alone.
    if (la_dump(fd, keep_addr, &c) != 0) g_addr_count = before;
    close(fd);
}

void read_addrs() {
    g_addrs_read = true;
    dump_here(OWN);
    for (size_t i = 0; i < g_count; ++i) {
        char proc_net[48];
        const int how = ln_enter(i, proc_net, sizeof proc_net);
        if (how != LN_ENTERED) continue;
        dump_here(i);
        if (ln_leave() != 0) return;
    }
}

} // namespace

int ln_holding(int ipv6, const unsigned char *addr, int64_t *netns, uint32_t *pid) {
    if (!g_addrs_read) read_addrs();
    const size_t size = ipv6 ? 16 : 4;
    size_t found = 0;
    bool one = false;
    for (size_t k = 0; k < g_addr_count; ++k) {
        const held_addr &h = g_addrs[k];
        if (h.a.ipv6 != (ipv6 != 0) || memcmp(h.a.addr, addr, size) != 0) continue;
        if (one && h.space != found) return 0;
        found = h.space;
        one = true;
    }
    if (!one) return 0;
    *netns = found == OWN ? 0 : g_spaces[found].netns;
    *pid = found == OWN ? 0 : g_spaces[found].pids[0];
    return 1;
}

size_t ln_holders(int ipv6, const unsigned char *addr, int64_t *netns, uint32_t *pid, size_t max) {
    if (!g_addrs_read) read_addrs();
    const size_t size = ipv6 ? 16 : 4;
    size_t n = 0;
    for (size_t k = 0; k < g_addr_count; ++k) {
        const held_addr &h = g_addrs[k];
        if (h.a.ipv6 != (ipv6 != 0) || memcmp(h.a.addr, addr, size) != 0) continue;
        const int64_t ns = h.space == OWN ? 0 : g_spaces[h.space].netns;
        bool seen = false;
        for (size_t j = 0; j < n && j < max; ++j) seen = seen || netns[j] == ns;
        if (seen) continue;
        if (n < max) {
            netns[n] = ns;
            pid[n] = h.space == OWN ? 0 : g_spaces[h.space].pids[0];
        }
        ++n;
    }
    return n;
}

unsigned ln_discoveries() { return g_discoveries; }
