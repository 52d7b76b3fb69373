// What the /proc directories say on Linux: which processes hold each socket, and the
// image file each runs. Every directory is read with getdents64 into a buffer of its depth.
#include "platform/linux/proc_dirs.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/linux/reader_client.h"
#include "platform/linux/sys.h"
#include "platform/platform.h"

namespace {

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

// Calls fn with "PID/task/TID" and TID for every thread of pid but the first, until fn
// returns false.
template<typename Fn>
void each_other_thread(int proc, unsigned long pid, Fn fn) {
    char path[40];
    snprintf(path, sizeof path, "%lu/task", pid);
    const int tasks = openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) return;
    each_entry(tasks, [&](const char *name) {
        const unsigned long tid = strtoul(name, nullptr, 10);
        if (tid == pid) return true;
        char task[64];
        const int n = snprintf(task, sizeof task, "%lu/task/%s", pid, name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof task) return true; // no thread id
        return fn(static_cast<const char *>(task), tid);
    });
    close(tasks);
}

// The kinds of facts this run could not read (PLAT_FACT_*).
int g_unreadable;

// Some process's descriptors were not the account's to read: a socket without a holder
// may be held there.
bool g_fd_denied;

// Whether a /proc folder that could not be opened (errno) says only that its process
// is gone or not the hub's to see; anything else (no descriptor or memory left) loses
// owners that are there.
bool gone_or_hidden(int err) {
    return err == ENOENT || err == ESRCH || err == EACCES || err == EPERM;
}

// The process of a /proc entry name, 0 when it names none.
uint32_t pid_of(const char *name) {
    char *end;
    const unsigned long pid = strtoul(name, &end, 10);
    return *end || pid > 0xffffffffu ? 0 : static_cast<uint32_t>(pid);
}

// Calls note(inode) for every socket among the descriptors of a directory of /proc
// ("PID/fd" or "PID/task/TID/fd", relative to proc), until it returns false: one
// readlinkat each. The number of entries it listed, -1 when it cannot be read.
template<typename Fn>
int scan_fd_dir(int proc, const char *fd_dir, Fn note) {
    const int fds = openat(proc, fd_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds < 0) {
        if (errno == EACCES || errno == EPERM) g_fd_denied = true;
        if (!gone_or_hidden(errno)) g_unreadable |= PLAT_FACT_OWNERS;
        return -1;
    }
    int entries = 0;
    each_entry(fds, [&](const char *fd_name) {
        ++entries;
        char link[64];
        const ssize_t k = readlinkat(fds, fd_name, link, sizeof link);
        uint32_t inode;
        return k > 0 && lt_socket_inode(link, static_cast<size_t>(k), &inode) ? note(inode) : true;
    });
    close(fds);
    return entries;
}

} // namespace

int plat_facts_unreadable() { return g_unreadable; }

void note_unreadable(int kinds) { g_unreadable |= kinds; }

// Finds the process of every endpoint: one readlinkat per descriptor of every
// process. /proc lists processes in ascending pid order, so the first holder met is
// the lowest one, and the walk stops once every socket has one, unless every holder
// is wanted.
void find_owners(lt_endpoint *eps, size_t count, bool every_holder) {
    if (count == 0) return;
    // Not root: other accounts' descriptors are not this account's to read, and the
    // reader, where it may run, reads them all in one walk of its own.
    if (geteuid() != 0 && reader_owners(eps, count) == 0) return;
    lt_owner *owners = static_cast<lt_owner *>(g_linux_sys.malloc(count * sizeof *owners));
    if (!owners) {
        g_unreadable |= PLAT_FACT_OWNERS;
        for (size_t i = 0; i < count; ++i) eps[i].ep.owner_hidden = !eps[i].ep.pid;
        return;
    }
    for (size_t i = 0; i < count; ++i) owners[i].inode = eps[i].inode;
    const size_t n = lt_owners_prepare(owners, count);
    size_t left = n;
    // The walk goes on while this holds.
    auto wanted = [&] { return every_holder || left > 0; };
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) g_unreadable |= PLAT_FACT_OWNERS;
    // Notes the sockets of one descriptor directory; the number of entries it listed,
    // -1 when it cannot be read.
    auto scan = [&](const char *fd_dir, uint32_t pid) {
        return scan_fd_dir(proc, fd_dir, [&](uint32_t inode) {
            left -= static_cast<size_t>(lt_owners_note(owners, n, inode, pid));
            return wanted();
        });
    };
    if (proc >= 0 && wanted()) {
        each_entry(proc, [&](const char *name) {
            const uint32_t pid = pid_of(name);
            if (!pid) return true;
            char path[32];
            snprintf(path, sizeof path, "%u/fd", pid);
            // When the first thread has exited and others live on, the process's own
            // list is empty (and readable); a live thread still shows the descriptors.
            if (scan(path, pid) == 0 && wanted() && has_other_threads(proc, pid))
                each_other_thread(proc, pid, [&](const char *task, unsigned long) {
                    char fd_dir[80];
                    snprintf(fd_dir, sizeof fd_dir, "%s/fd", task);
                    return scan(fd_dir, pid) == 0 && wanted();
                });
            return wanted();
        });
    }
    // A thread that unshared its descriptor table (unshare(CLONE_FILES)) holds sockets
    // its process's list does not show. Rare, so looked for only while a socket has no
    // holder: the threads whose table is not their leader's, one kcmp each.
    if (proc >= 0 && left > 0 && lseek(proc, 0, SEEK_SET) == 0) {
        each_entry(proc, [&](const char *name) {
            const uint32_t pid = pid_of(name);
            if (pid && has_other_threads(proc, pid))
                each_other_thread(proc, pid, [&](const char *task, unsigned long tid) {
                    // A thread the hub may not compare is one whose folder it may not
                    // read either; a kernel without kcmp leaves every thread to read.
                    const long same = syscall(SYS_kcmp, static_cast<pid_t>(pid),
                                              static_cast<pid_t>(tid), KCMP_FILES, 0, 0);
                    if (same > 0 || (same < 0 && errno == ENOSYS)) {
                        char fd_dir[80];
                        snprintf(fd_dir, sizeof fd_dir, "%s/fd", task);
                        scan(fd_dir, pid);
                    }
                    return left > 0;
                });
            return left > 0;
        });
    }
    if (proc >= 0) close(proc);
    // Without every descriptor folder read, a socket without a holder may have one.
    const bool missed = g_fd_denied || (g_unreadable & PLAT_FACT_OWNERS);
    for (size_t i = 0; i < count; ++i) {
        plat_endpoint &ep = eps[i].ep;
        const lt_owner *o = lt_owners_entry(owners, n, eps[i].inode);
        ep.pid = o ? o->pid : 0;
        ep.next_pid = o ? o->next : 0;
        ep.holders = o ? o->holders : 0;
        ep.owner_hidden = !ep.pid && missed;
    }
    free(owners);
}

namespace {

// The image path behind an exe link of /proc ("PID/exe" or "PID/task/TID/exe",
// relative to dir), without the kernel's " (deleted)" when the file is really gone:
// a file may be named so. 0 on success, else the reason (errno); *deleted 1 when the
// file is gone, 0 when it is there, -1 when that cannot be told.
int exe_path(int dir, const char *link, char *buf, size_t size, int *deleted) {
    const ssize_t n = readlinkat(dir, link, buf, size);
    if (n <= 0) return n < 0 ? errno : ENOENT;
    // A path that fills the buffer may have been cut: no path rather than a wrong one.
    if (static_cast<size_t>(n) >= size) return ENAMETOOLONG;
    buf[n] = '\0';
    *deleted = 0;
    static const char mark[] = " (deleted)";
    const size_t k = sizeof mark - 1;
    if (static_cast<size_t>(n) < k || memcmp(buf + n - k, mark, k) != 0) return 0;
    // The link leads to the image itself, unlinked or not.
    struct stat st;
    if (fstatat(dir, link, &st, 0) != 0)
        *deleted = -1;
    else if (st.st_nlink == 0)
        *deleted = 1;
    if (*deleted == 1) lt_exe_trim(buf, static_cast<size_t>(n));
    return 0;
}

} // namespace

int proc_image_path(uint32_t pid, char *path, size_t size, int *deleted) {
    char link[32];
    snprintf(link, sizeof link, "/proc/%u/exe", static_cast<unsigned>(pid));
    int rc = exe_path(AT_FDCWD, link, path, size, deleted);
    if (rc == ENOENT && pid != 0) {
        // A process whose first thread has exited shows its image through the others
        // (its own link is gone; one that may not be read stays unread).
        const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (proc >= 0 && has_other_threads(proc, pid))
            each_other_thread(proc, pid, [&](const char *task, unsigned long) {
                char task_link[80];
                snprintf(task_link, sizeof task_link, "%s/exe", task);
                rc = exe_path(proc, task_link, path, size, deleted);
                return rc != 0;
            });
        if (proc >= 0) close(proc);
    }
    return rc;
}

int plat_image_name(uint32_t pid, char *buf, size_t size) {
    char path[PATH_MAX];
    int deleted;
    const int rc = proc_image_path(pid, path, sizeof path, &deleted);
    // Another account's image file: as the reader named it, where it did.
    if (rc == EACCES || rc == EPERM) return reader_image_name(pid, buf, size);
    if (rc != 0) return -1;
    const char *slash = strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    const size_t len = strlen(name);
    if (len >= size) return -1;
    memcpy(buf, name, len + 1);
    return 0;
}

void proc_dir_each(int dir, bool (*fn)(const char *name, void *ctx), void *ctx) {
    each_entry(dir, [&](const char *name) { return fn(name, ctx); });
}

int find_holdings(lt_endpoint *eps, size_t count, uint32_t pid) {
    for (size_t i = 0; i < count; ++i) eps[i].ep.pid = 0;
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return 0;
    lt_owner *owners = static_cast<lt_owner *>(g_linux_sys.malloc((count + 1) * sizeof *owners));
    int known = 0;
    if (owners) {
        for (size_t i = 0; i < count; ++i) owners[i].inode = eps[i].inode;
        const size_t n = lt_owners_prepare(owners, count);
        auto scan = [&](const char *fd_dir) {
            return scan_fd_dir(proc, fd_dir, [&](uint32_t inode) {
                lt_owners_note(owners, n, inode, pid);
                return true;
            });
        };
        char path[32];
        snprintf(path, sizeof path, "%u/fd", static_cast<unsigned>(pid));
        const int entries = scan(path);
        known = entries >= 0;
        // The threads' own lists where the first thread's is empty: it has exited.
        if (entries == 0 && has_other_threads(proc, pid))
            each_other_thread(proc, pid, [&](const char *task, unsigned long) {
                char fd_dir[80];
                snprintf(fd_dir, sizeof fd_dir, "%s/fd", task);
                const int got = scan(fd_dir);
                if (got < 0) known = 0;
                return got == 0;
            });
        for (size_t i = 0; i < count; ++i)
            if (lt_owners_find(owners, n, eps[i].inode) == pid) eps[i].ep.pid = pid;
        free(owners);
    }
    close(proc);
    reader_process_facts f;
    if (!known && geteuid() != 0 && reader_process(pid, 0, &f) == 0 && f.held_known) {
        // Another account's process: the sockets the reader found among its descriptors.
        for (size_t i = 0; i < count; ++i)
            for (size_t k = 0; k < f.n_inodes; ++k)
                if (eps[i].inode && f.inodes[k] == eps[i].inode) eps[i].ep.pid = pid;
        known = 1;
    }
    return known;
}
