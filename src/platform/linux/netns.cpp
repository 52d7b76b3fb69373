#include "platform/linux/netns.h"

#include <cerrno>
#include <climits>
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
#include "platform/linux/checked_files.h"
#include "platform/linux/docker.h"
#include "platform/linux/proc_dirs.h"
#include "platform/linux/reader_client.h"
#include "platform/linux/sys.h"
#include "platform/platform.h"

namespace {

// One namespace: its name, the inode of its /proc/net/tcp entry (which every process may
// look at, and which is the namespace's own), its first and last process seen (0 for
// none), and the file that names it (an index of g_files, -1 for none).
struct space {
    int64_t netns;
    uint64_t tcp_ino;
    uint32_t pids[2];
    int32_t file;
    bool named_apart; // named by the reader: still read from outside, through /proc/PID/net
};

// A file that holds a namespace without a process in it (ip netns add, a container
// engine's): its path beneath the root of engine (a process; 0 for the node's own root).
struct ns_file {
    uint32_t engine;
    char path[512];
};
ns_file *g_files;
size_t g_file_count, g_file_cap;

// The engines whose namespace files are read: root's dockerd processes.
enum { MAX_ENGINES = 4 };
uint32_t g_engines[MAX_ENGINES];
size_t g_engine_count;
// The file system of namespaces.
dev_t g_nsfs;

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
    g_spaces[g_count++] = {netns, tcp_ino, {pid, pid}, -1, false};
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

// Notes a process of the program's own namespace that may be a container engine, whose
// folder of named namespaces is read after the walk. Only root may read the engine's
// root folder, and its image's name is one call away.
void note_engine(int proc, uint32_t pid) {
    if (g_engine_count == MAX_ENGINES || geteuid() != 0) return;
    char path[40], target[256];
    snprintf(path, sizeof path, "%u/exe", static_cast<unsigned>(pid));
    const ssize_t n = readlinkat(proc, path, target, sizeof target - 1);
    if (n <= 0) return;
    target[n] = '\0';
    const char *slash = strrchr(target, '/');
    if (slash && strcmp(slash + 1, "dockerd") == 0) g_engines[g_engine_count++] = pid;
}

// Notes the namespace that the file name in folder dir holds, for a file beneath the
// root of engine at folder/name.
void note_file(int dir, const char *folder, const char *name, uint32_t engine) {
    struct stat st;
    // A namespace's file is a bind mount of the namespace itself; a plain file left by
    // a failed mount is none.
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_dev != g_nsfs || st.st_ino == g_home_ino)
        return;
    const int64_t netns = static_cast<int64_t>(st.st_ino);
    space *s = find_space(netns, 0);
    if (s && s->file >= 0) return;
    if (g_file_count == g_file_cap) {
        const size_t cap = g_file_cap ? g_file_cap * 2 : 16;
        void *grown = g_linux_sys.realloc(g_files, cap * sizeof *g_files);
        if (!grown) {
            g_discovery_failed = true;
            return;
        }
        g_files = static_cast<ns_file *>(grown);
        g_file_cap = cap;
    }
    ns_file &f = g_files[g_file_count];
    const int len = snprintf(f.path, sizeof f.path, "%s/%s", folder, name);
    if (len < 0 || static_cast<size_t>(len) >= sizeof f.path) return;
    f.engine = engine;
    if (!s) {
        if (!add_space(netns, 0, 0)) {
            g_discovery_failed = true;
            return;
        }
        s = &g_spaces[g_count - 1];
    }
    s->file = static_cast<int32_t>(g_file_count++);
}

struct folder_walk {
    int dir;
    const char *folder;
    uint32_t engine;
};

bool note_entry(const char *name, void *ctx) {
    const folder_walk &w = *static_cast<folder_walk *>(ctx);
    note_file(w.dir, w.folder, name, w.engine);
    return true;
}

// The root folder of engine (0: the node's own), as the engine sees the files.
int root_of(uint32_t engine) {
    char path[40];
    snprintf(path, sizeof path, "/proc/%u/root", static_cast<unsigned>(engine));
    return open(engine ? path : "/", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Notes the namespaces of the files of a folder of root's beneath the root of engine.
void note_folder(uint32_t engine, const char *folder) {
    int dir;
    if (engine) {
        const int root = root_of(engine);
        if (root < 0) {
            if (starved(errno)) g_discovery_failed = true;
            return;
        }
        errno = 0;
        dir = lc_open_dir(root, folder, 0);
        close(root);
    } else {
        // The node's own folder, on a path only root may change: one descriptor, for a
        // hub that allows few.
        dir = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (dir >= 0 && (fstat(dir, &st) != 0 || st.st_uid != 0)) {
            close(dir);
            dir = -1;
            errno = EPERM;
        }
    }
    if (dir < 0) {
        if (starved(errno)) g_discovery_failed = true;
        return;
    }
    folder_walk w = {dir, folder, engine};
    proc_dir_each(dir, note_entry, &w);
    close(dir);
}

// Notes the namespaces that files hold: those of ip netns and of each engine's folder.
void note_files() {
    struct stat st;
    if (stat("/proc/self/ns/net", &st) != 0) return;
    g_nsfs = st.st_dev;
    note_folder(0, "/run/netns");
    for (size_t k = 0; k < g_engine_count; ++k) {
        char folder[PATH_MAX];
        const int got = ld_netns_folder(g_engines[k], folder, sizeof folder);
        if (got == 0)
            note_folder(g_engines[k], folder);
        else if (got == -2)
            g_discovery_failed = true; // root's engine whose namespaces could not be looked for
    }
}

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
        if (st.st_ino == g_home_ino) {
            note_engine(proc, static_cast<uint32_t>(pid));
            return true;
        }
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

// Enters a namespace that its file holds: LN_ENTERED; LN_UNREAD when the program may not
// enter it (not root), having no process in it to read it through; LN_GONE when the file
// holds it no more.
int enter_file(int proc, const ns_file &f, int64_t netns, bool *short_of) {
    int fd, err;
    if (f.engine) {
        const int root = root_of(f.engine);
        if (root < 0) {
            *short_of = *short_of || starved(errno);
            return LN_GONE;
        }
        int outcome;
        fd = lc_open(root, f.path, 0, &outcome);
        err = errno;
        close(root);
    } else {
        // On the node's own path, which only root may change.
        fd = open(f.path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        err = errno;
    }
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_dev != g_nsfs ||
        static_cast<int64_t>(st.st_ino) != netns) {
        if (fd >= 0) close(fd);
        *short_of = *short_of || (fd < 0 && starved(err));
        return LN_GONE;
    }
    const int how = enter(proc, fd);
    close(fd);
    return how == LN_ENTERED ? LN_ENTERED : LN_UNREAD;
}

} // namespace

size_t ln_discover() {
    ++g_discoveries;
    g_count = 0;
    g_file_count = 0;
    g_engine_count = 0;
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
    // Namespaces that no process is in, held by their files.
    if (g_home_ino) note_files();
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
        if (!pid) continue;
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
    if (how == LN_GONE && s.file >= 0) how = enter_file(proc, g_files[s.file], s.netns, &short_of);
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

size_t ln_engines(uint32_t *pids, size_t max) {
    for (size_t k = 0; k < g_engine_count && k < max; ++k) pids[k] = g_engines[k];
    return g_engine_count;
}

int ln_processes_of(int64_t netns, uint32_t pids[2]) {
    for (size_t k = 0; k < g_count; ++k)
        if (g_spaces[k].netns == netns) {
            pids[0] = g_spaces[k].pids[0];
            pids[1] = g_spaces[k].pids[1];
            return 1;
        }
    return 0;
}
