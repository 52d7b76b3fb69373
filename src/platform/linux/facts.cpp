// Linux side of the process facts: the account from /proc/PID/status and /etc/passwd,
// the unit and container from /proc/PID/cgroup. Every one of these files is readable
// for every process, so the facts need no rights beyond knowing the process.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/facts.h"
#include "platform/linux/procs.h"
#include "platform/linux/sys.h"

namespace {

const linux_sys &sys = g_linux_sys;

} // namespace

ssize_t read_small(const char *path, char *buf, size_t size) {
    const int fd = sys.open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t have = 0;
    while (have + 1 < size) {
        const ssize_t got = sys.read(fd, buf + have, size - 1 - have);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        have += static_cast<size_t>(got);
    }
    close(fd);
    buf[have] = '\0';
    return static_cast<ssize_t>(have);
}

uint32_t read_parent(uint32_t pid) {
    char path[40];
    snprintf(path, sizeof path, "/proc/%u/stat", static_cast<unsigned>(pid));
    char text[1024], name[16];
    uint32_t ppid;
    uint64_t start;
    return read_small(path, text, sizeof text) > 0 &&
                   lp_stat_fields(text, name, sizeof name, &ppid, &start)
               ? ppid
               : 0;
}

int read_whole(const char *path, size_t limit, char **text, size_t *len) {
    *text = nullptr;
    *len = 0;
    const int fd = sys.open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    size_t cap = 0;
    int rc = 0;
    for (;;) {
        // Room for one byte more than read, so the text can be ended.
        if (*len + 1 >= cap) {
            void *grown = cap < limit ? sys.realloc(*text, cap ? cap * 2 : 16384) : nullptr;
            if (!grown) {
                rc = cap < limit ? ENOMEM : EFBIG;
                break;
            }
            *text = static_cast<char *>(grown);
            cap = cap ? cap * 2 : 16384;
        }
        const ssize_t got = sys.read(fd, *text + *len, cap - 1 - *len);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) rc = errno;
        if (got <= 0) break;
        *len += static_cast<size_t>(got);
    }
    close(fd);
    if (rc) {
        free(*text);
        *text = nullptr;
        *len = 0;
    } else {
        (*text)[*len] = '\0';
    }
    return rc;
}

namespace {

// /etc/passwd, read once per run (the program is static: NSS cannot be loaded).
struct passwd_text {
    int tried;
    char *text;
    size_t len;
};
passwd_text g_passwd;

const passwd_text &passwd_loaded() {
    passwd_text &p = g_passwd;
    if (p.tried) return p;
    p.tried = 1;
    // A file past 64 MiB is no account list to read whole.
    read_whole("/etc/passwd", 64u << 20, &p.text, &p.len);
    return p;
}

} // namespace

uint32_t plat_service_manager_pid() { return 1; }

int plat_account_name(int64_t account, char *buf, size_t size) {
    if (account < 0 || account > 0xffffffffLL || size == 0) return -1;
    const uint32_t uid = static_cast<uint32_t>(account);
    const passwd_text &p = passwd_loaded();
    if (p.text && lp_passwd_name(p.text, p.len, uid, buf, size)) return 0;
    // No entry (or an unreadable list): the number itself.
    const int n = snprintf(buf, size, "%u", static_cast<unsigned>(uid));
    return n > 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

void plat_process_facts(uint32_t pid, plat_process *out) {
    memset(out, 0, sizeof *out);
    if (pid == 0) return;
    // Static, like every large buffer here: the stack may be small.
    static char text[16384];
    char path[48];
    snprintf(path, sizeof path, "/proc/%u/status", static_cast<unsigned>(pid));
    uint32_t uid;
    if (read_small(path, text, sizeof text) <= 0 || !lp_status_uid(text, &uid) ||
        plat_account_name(uid, out->user, sizeof out->user) != 0) {
        out->user[0] = '\0';
        out->unread |= PLAT_PROC_USER;
    }
    snprintf(path, sizeof path, "/proc/%u/cgroup", static_cast<unsigned>(pid));
    if (read_small(path, text, sizeof text) > 0) {
        lp_cgroup_facts(text, out->service, sizeof out->service, out->container,
                        sizeof out->container);
        lp_cgroup_pod_uid(text, out->pod_uid, sizeof out->pod_uid);
    } else {
        out->unread |= PLAT_PROC_SERVICE | PLAT_PROC_CONTAINER;
    }
}
