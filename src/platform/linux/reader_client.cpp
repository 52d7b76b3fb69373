// Runs ports-reader and keeps what it read: see reader_client.h.
#include "platform/linux/reader_client.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/linux/reader_format.h"

#ifndef PORTS_READER_PATH
#define PORTS_READER_PATH "/usr/libexec/ports/ports-reader"
#endif

namespace {

// The longest a reader may take: it walks /proc once.
const int READER_TIMEOUT_MS = 10000;

int64_t now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Runs the reader with argv (argv[0] its path) and an empty environment, standard input
// and error on /dev/null; its output in *out (malloc'd, the caller frees), *len bytes.
// 0 when it ended by itself with status 0 within its time and bound.
int run_reader(const char *const argv[], char **out, size_t *len) {
    *out = nullptr;
    *len = 0;
    int pipe_fd[2];
    if (pipe2(pipe_fd, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fd[1], 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char *const env[] = {nullptr};
    pid_t child;
    const int rc = posix_spawn(&child, argv[0], &actions, nullptr, const_cast<char *const *>(argv),
                               env);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fd[1]);
    if (rc != 0) {
        close(pipe_fd[0]);
        return -1;
    }
    size_t cap = 0;
    bool ok = true;
    const int64_t deadline = now_ms() + READER_TIMEOUT_MS;
    for (;;) {
        if (*len == cap) {
            const size_t grown_cap = cap ? cap * 2 : 65536;
            void *grown = grown_cap <= size_t{READER_MAX_OUTPUT} + 65536
                              ? realloc(*out, grown_cap)
                              : nullptr;
            if (!grown) {
                ok = false;
                break;
            }
            *out = static_cast<char *>(grown);
            cap = grown_cap;
        }
        const int64_t left = deadline - now_ms();
        pollfd p = {pipe_fd[0], POLLIN, 0};
        const int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            ok = false;
            break;
        }
        const ssize_t got = read(pipe_fd[0], *out + *len, cap - *len);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        *len += static_cast<size_t>(got);
    }
    close(pipe_fd[0]);
    if (!ok) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (ok && WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    free(*out);
    *out = nullptr;
    *len = 0;
    return -1;
}

// ---- what the reader told of the owners --------------------------------------------

struct owner_entry {
    uint32_t inode, pid, next, holders;
};
struct name_entry {
    uint32_t pid;
    char name[256];
};
struct owners_read {
    owner_entry *owners;
    size_t n_owners, cap_owners;
    name_entry *names;
    size_t n_names, cap_names;
    bool missed;
    bool failed; // out of memory
};
owners_read g_owners;

template<typename T>
bool grow(T *&array, size_t n, size_t &cap) {
    if (n < cap) return true;
    const size_t want = cap ? cap * 2 : 1024;
    void *grown = realloc(array, want * sizeof *array);
    if (!grown) return false;
    array = static_cast<T *>(grown);
    cap = want;
    return true;
}

void take_owner_record(const reader_record *r, void *ctx) {
    owners_read &o = *static_cast<owners_read *>(ctx);
    if (r->kind == 'o') {
        if (!grow(o.owners, o.n_owners, o.cap_owners)) {
            o.failed = true;
            return;
        }
        o.owners[o.n_owners++] = {static_cast<uint32_t>(r->num[0]), static_cast<uint32_t>(r->num[1]),
                                  static_cast<uint32_t>(r->num[2]), static_cast<uint32_t>(r->num[3])};
    } else if (r->kind == 'n') {
        if (r->len >= sizeof(name_entry::name) || !grow(o.names, o.n_names, o.cap_names)) {
            o.failed = o.failed || r->len < sizeof(name_entry::name);
            return;
        }
        name_entry &e = o.names[o.n_names++];
        e.pid = static_cast<uint32_t>(r->num[0]);
        memcpy(e.name, r->text, r->len + 1);
    } else if (r->kind == 'x') {
        o.missed = true;
    } else {
        o.failed = true; // a record of another verb
    }
}

int by_inode(const void *a, const void *b) {
    const uint32_t x = static_cast<const owner_entry *>(a)->inode;
    const uint32_t y = static_cast<const owner_entry *>(b)->inode;
    return x < y ? -1 : x > y;
}

int by_pid(const void *a, const void *b) {
    const uint32_t x = static_cast<const name_entry *>(a)->pid;
    const uint32_t y = static_cast<const name_entry *>(b)->pid;
    return x < y ? -1 : x > y;
}

void forget_owners() {
    free(g_owners.owners);
    free(g_owners.names);
    g_owners = owners_read();
}

// ---- what it told of one process ----------------------------------------------------

struct process_read {
    uint32_t pid;
    int with_cmdline;
    int ok;
    reader_process_facts facts;
    char *text; // the output, which the texts point into
    char *cmdline;
    size_t cmdline_len;
    uint32_t *inodes;
    size_t n_inodes, cap_inodes;
    bool failed;
};
process_read g_process;

void take_process_record(const reader_record *r, void *ctx) {
    process_read &p = *static_cast<process_read *>(ctx);
    reader_process_facts &f = p.facts;
    switch (r->kind) {
    case 'e':
        f.exe_state = static_cast<int>(r->num[0]);
        f.exe_deleted = r->num[1] == 2 ? -1 : static_cast<int>(r->num[1]);
        f.exe = f.exe_state == PLAT_READ ? r->text : nullptr;
        break;
    case 'c':
        f.cwd_state = static_cast<int>(r->num[0]);
        f.cwd = f.cwd_state == PLAT_READ ? r->text : nullptr;
        break;
    case 'k':
        f.cmdline_state = static_cast<int>(r->num[0]);
        break;
    case 'a': {
        void *grown = realloc(p.cmdline, p.cmdline_len + r->len + 1);
        if (!grown) {
            p.failed = true;
            return;
        }
        p.cmdline = static_cast<char *>(grown);
        memcpy(p.cmdline + p.cmdline_len, r->text, r->len + 1);
        p.cmdline_len += r->len + 1;
        break;
    }
    case 'h':
        f.held_known = static_cast<int>(r->num[0]);
        break;
    case 's':
        if (!grow(p.inodes, p.n_inodes, p.cap_inodes)) {
            p.failed = true;
            return;
        }
        p.inodes[p.n_inodes++] = static_cast<uint32_t>(r->num[0]);
        break;
    default:
        p.failed = true;
    }
}

void forget_process() {
    free(g_process.text);
    free(g_process.cmdline);
    free(g_process.inodes);
    g_process = process_read();
}

} // namespace

static bool g_never;

void reader_never() { g_never = true; }

const char *reader_path() {
    if (g_never) return nullptr;
    const char *named = getenv("PORTS_READER");
    if (named && strcmp(named, "none") == 0) return nullptr;
    return named && *named ? named : PORTS_READER_PATH;
}

int reader_owners(lt_endpoint *eps, size_t count) {
    forget_owners();
    const char *path = reader_path();
    if (!path) return -1;
    const char *const argv[] = {path, "owners", nullptr};
    char *out;
    size_t len;
    if (run_reader(argv, &out, &len) != 0) return -1;
    const int parsed = reader_parse(out, len, take_owner_record, &g_owners);
    free(out);
    if (parsed != 0 || g_owners.failed) {
        forget_owners();
        return -1;
    }
    owners_read &o = g_owners;
    // (qsort and bsearch are given no null table, even an empty one.)
    // The reader writes them in inode order; sorted only when they are not.
    bool sorted = true;
    for (size_t i = 1; i < o.n_owners && sorted; ++i) sorted = o.owners[i - 1].inode <= o.owners[i].inode;
    if (o.n_owners && !sorted) qsort(o.owners, o.n_owners, sizeof *o.owners, by_inode);
    if (o.n_names) qsort(o.names, o.n_names, sizeof *o.names, by_pid);
    for (size_t i = 0; i < count; ++i) {
        plat_endpoint &ep = eps[i].ep;
        const owner_entry key = {eps[i].inode, 0, 0, 0};
        const owner_entry *e = eps[i].inode && o.n_owners ? static_cast<const owner_entry *>(bsearch(
                                                  &key, o.owners, o.n_owners, sizeof key, by_inode))
                                            : nullptr;
        ep.pid = e ? e->pid : 0;
        ep.next_pid = e ? e->next : 0;
        ep.holders = e ? e->holders : 0;
        ep.owner_hidden = !ep.pid && o.missed;
    }
    return 0;
}

int reader_image_name(uint32_t pid, char *buf, size_t size) {
    const name_entry key = {pid, {}};
    const name_entry *e = g_owners.n_names ? static_cast<const name_entry *>(bsearch(
                                                 &key, g_owners.names, g_owners.n_names,
                                                 sizeof key, by_pid))
                                           : nullptr;
    const char *name = e ? e->name : nullptr;
    // The process answer's reading names its process too.
    const char *slash = g_process.ok && g_process.pid == pid && g_process.facts.exe
                            ? strrchr(g_process.facts.exe, '/')
                            : nullptr;
    if (!name && slash) name = slash + 1;
    if (!name || !*name) return -1;
    const size_t n = strlen(name);
    if (n >= size) return -1;
    memcpy(buf, name, n + 1);
    return 0;
}

int reader_process(uint32_t pid, int want_cmdline, reader_process_facts *out) {
    process_read &p = g_process;
    if (!(p.pid == pid && p.ok && (p.with_cmdline || !want_cmdline))) {
        forget_process();
        p.pid = pid;
        p.with_cmdline = want_cmdline;
        const char *path = reader_path();
        char pid_text[16];
        snprintf(pid_text, sizeof pid_text, "%u", static_cast<unsigned>(pid));
        const char *const argv[] = {path, "process", pid_text, want_cmdline ? "cmdline" : nullptr,
                                    nullptr};
        size_t len;
        p.facts.exe_deleted = -1;
        if (!path || run_reader(argv, &p.text, &len) != 0 ||
            reader_parse(p.text, len, take_process_record, &p) != 0 || p.failed) {
            forget_process();
            p.pid = pid;
            return -1;
        }
        p.facts.cmdline = p.cmdline;
        p.facts.cmdline_len = p.cmdline_len;
        p.facts.inodes = p.inodes;
        p.facts.n_inodes = p.n_inodes;
        p.ok = 1;
    }
    if (!p.ok) return -1;
    *out = p.facts;
    return 0;
}

namespace {

struct netns_read {
    uint64_t (*pairs)[2];
    size_t n, cap;
    bool failed;
};

void take_netns_record(const reader_record *r, void *ctx) {
    netns_read &m = *static_cast<netns_read *>(ctx);
    if (r->kind != 'm' || !grow(m.pairs, m.n, m.cap)) {
        m.failed = true;
        return;
    }
    m.pairs[m.n][0] = r->num[0];
    m.pairs[m.n][1] = r->num[1];
    ++m.n;
}

} // namespace

int reader_netns(void (*fn)(uint64_t netns, uint64_t tcp_ino, void *ctx), void *ctx) {
    const char *path = reader_path();
    if (!path) return -1;
    const char *const argv[] = {path, "netns", nullptr};
    char *out;
    size_t len;
    if (run_reader(argv, &out, &len) != 0) return -1;
    netns_read m = {};
    const int parsed = reader_parse(out, len, take_netns_record, &m);
    free(out);
    if (parsed == 0 && !m.failed)
        for (size_t i = 0; i < m.n; ++i) fn(m.pairs[i][0], m.pairs[i][1], ctx);
    free(m.pairs);
    return parsed == 0 && !m.failed ? 0 : -1;
}
