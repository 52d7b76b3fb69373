// Forwarders that an account runs for namespaces of its own on Linux: pasta (passt's mode
// for network namespaces, podman's rootless network) listens on the host for the ports
// its command line names and hands their connections to the namespace it serves. The
// whole of it is the account's own, so it is believed only for a namespace that account
// owns (the namespace's user namespace was made by it), and only from pasta's own
// program, a file of root's that no one else may write (a package's).
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/nsfs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/facts.h"
#include "platform/linux/forward.h"
#include "platform/linux/netns.h"
#include "platform/linux/podman.h"
#include "platform/linux/proc_dirs.h"
#include "platform/linux/procs.h"
#include "platform/linux/rootless.h"

namespace {

// Whether pid's program is a file of root's that no one else may write (a package's).
bool packaged(uint32_t pid) {
    char path[48];
    struct stat exe;
    snprintf(path, sizeof path, "/proc/%u/exe", static_cast<unsigned>(pid));
    return stat(path, &exe) == 0 && exe.st_uid == 0 && !(exe.st_mode & 022);
}

bool account_of(uint32_t pid, uint32_t *account) {
    char path[48], text[4096];
    snprintf(path, sizeof path, "/proc/%u/status", static_cast<unsigned>(pid));
    return read_small(path, text, sizeof text) > 0 && lp_status_uid(text, account);
}

bool pasta_image(const char *image) {
    static const char *const names[] = {"passt", "passt.avx2", "pasta", "pasta.avx2"};
    for (const char *n : names)
        if (strcmp(image, n) == 0) return true;
    return false;
}

// Whether the namespace of an open nsfs descriptor was made under a user namespace that
// account owns.
bool owned_by(int ns_fd, uint32_t account) {
    const int userns = ioctl(ns_fd, NS_GET_USERNS);
    if (userns < 0) return false;
    uid_t owner;
    const bool ok = ioctl(userns, NS_GET_OWNER_UID, &owner) == 0 && owner == account;
    close(userns);
    return ok;
}

struct ns_search {
    int fd_dir;
    char found[64]; // the descriptor's name in the folder
    int count;
    char last[64];
};

bool note_ns_fd(const char *name, void *ctx) {
    ns_search &s = *static_cast<ns_search *>(ctx);
    char link[64];
    const ssize_t n = readlinkat(s.fd_dir, name, link, sizeof link - 1);
    if (n <= 0) return true;
    link[n] = '\0';
    if (strncmp(link, "net:[", 5) != 0) return true;
    // The same namespace held twice is one; two namespaces are none told.
    if (s.count && strcmp(link, s.last) == 0) return true;
    snprintf(s.last, sizeof s.last, "%s", link);
    snprintf(s.found, sizeof s.found, "%s", name);
    ++s.count;
    return s.count < 2;
}

// The namespace pasta serves, opened: the one it is in when that is not the program's
// own, else the one it holds a descriptor of (exactly one). -1 when none is told.
int served_namespace(uint32_t pid) {
    char path[64];
    struct stat mine, home;
    snprintf(path, sizeof path, "/proc/%u/ns/net", static_cast<unsigned>(pid));
    int ns = open(path, O_RDONLY | O_CLOEXEC);
    if (ns < 0 || fstat(ns, &mine) != 0 || stat("/proc/self/ns/net", &home) != 0) {
        if (ns >= 0) close(ns);
        return -1;
    }
    if (mine.st_ino != home.st_ino) return ns;
    close(ns);
    snprintf(path, sizeof path, "/proc/%u/fd", static_cast<unsigned>(pid));
    ns_search s = {open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC), "", 0, ""};
    if (s.fd_dir < 0) return -1;
    proc_dir_each(s.fd_dir, note_ns_fd, &s);
    ns = s.count == 1 ? openat(s.fd_dir, s.found, O_RDONLY | O_CLOEXEC) : -1;
    close(s.fd_dir);
    return ns;
}

} // namespace

int lr_pasta_forward(uint32_t pid, const char *image, const char *proto, int ipv6,
                     const unsigned char *addr, int port, plat_forward *out) {
    if (!pid || !pasta_image(image)) return -1;
    char path[48], text[4096];
    struct stat exe, home, served;
    snprintf(path, sizeof path, "/proc/%u/exe", static_cast<unsigned>(pid));
    // A program anyone but root may have written says nothing.
    if (stat(path, &exe) != 0 || exe.st_uid != 0 || (exe.st_mode & 022)) return -1;
    snprintf(path, sizeof path, "/proc/%u/status", static_cast<unsigned>(pid));
    uint32_t account;
    if (read_small(path, text, sizeof text) <= 0 || !lp_status_uid(text, &account)) return -1;
    const int ns = served_namespace(pid);
    if (ns < 0) return -1;
    const bool ours = fstat(ns, &served) == 0 && stat("/proc/self/ns/net", &home) == 0 &&
                      served.st_ino != home.st_ino && served.st_dev == home.st_dev &&
                      owned_by(ns, account);
    close(ns);
    if (!ours) return -1;
    snprintf(path, sizeof path, "/proc/%u/cmdline", static_cast<unsigned>(pid));
    char *cmdline;
    size_t n;
    int32_t target = 0;
    const int rc = read_whole(path, 1 << 16, &cmdline, &n) == 0
                       ? lf_pasta_target(cmdline, n, proto, ipv6, addr, port, &target)
                       : -1;
    free(cmdline);
    if (rc != 0) return -1;
    memset(out, 0, sizeof *out);
    // pasta hands a connection to the namespace's own side of the port: its loopback for
    // one made on this host.
    out->ipv6 = ipv6 != 0;
    if (ipv6)
        out->addr[15] = 1;
    else
        out->addr[0] = 127, out->addr[3] = 1;
    out->port = target;
    out->netns = static_cast<int64_t>(served.st_ino);
    return 0;
}

int lr_rootlessport_forward(uint32_t pid, const char *image, int ipv6, plat_forward *out) {
    if (!pid || strcmp(image, "rootlessport") != 0 || !packaged(pid)) return -1;
    uint32_t account;
    if (!account_of(pid, &account)) return -1;
    char path[48];
    struct stat served, home;
    snprintf(path, sizeof path, "/proc/%u/ns/net", static_cast<unsigned>(pid));
    // rootlessport listens on the host, then moves into the container's namespace.
    const int ns = open(path, O_RDONLY | O_CLOEXEC);
    if (ns < 0) return -1;
    const bool ours = fstat(ns, &served) == 0 && stat("/proc/self/ns/net", &home) == 0 &&
                      served.st_ino != home.st_ino && owned_by(ns, account);
    close(ns);
    if (!ours) return -1;
    memset(out, 0, sizeof *out);
    out->ipv6 = ipv6 != 0;
    if (ipv6)
        out->addr[15] = 1;
    else
        out->addr[0] = 127, out->addr[3] = 1;
    out->port = 0; // came on its standard input: not to be told from outside
    out->netns = static_cast<int64_t>(served.st_ino);
    // The container: the conmon of the same account (run from root's own file) above a
    // process of that namespace.
    uint32_t inside[2];
    if (!ln_processes_of(out->netns, inside)) return 0;
    for (uint32_t at : inside) {
        for (int k = 0; k < 16 && at > 1; ++k, at = read_parent(at)) {
            char name[256];
            uint32_t owner;
            if (plat_image_name(at, name, sizeof name) != 0 || strcmp(name, "conmon") != 0)
                continue;
            lf_conmon c;
            if (!packaged(at) || !account_of(at, &owner) || owner != account ||
                lpm_conmon_args(at, &c) != 0)
                break;
            memcpy(out->container, c.id, 12);
            strcpy(out->name, c.name);
            return 0;
        }
    }
    return 0;
}
