// Where podman's containers are named on Linux: conmon, the monitor podman starts for
// each container (the parent of its first process), says the container's id and name on
// its command line. Any account may start a process named conmon, so it is believed
// only when it runs as root in the node's own user namespace, as podman run by root
// starts it, and its command line is exactly one that conmon takes.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/checked_files.h"
#include "platform/linux/cni_state.h"
#include "platform/linux/docker.h"
#include "platform/linux/facts.h"
#include "platform/linux/forward.h"
#include "platform/linux/podman.h"
#include "platform/linux/procs.h"
#include "platform/linux/proc_dirs.h"

namespace {

// How far up from a container's process its conmon may be.
enum { MAX_PARENTS = 16 };

} // namespace

int lpm_conmon(uint32_t pid, lf_conmon *out) {
    char image[256];
    if (!pid || plat_image_name(pid, image, sizeof image) != 0 || strcmp(image, "conmon") != 0 ||
        !ld_root_of_node(pid))
        return -1;
    return lpm_conmon_args(pid, out);
}

int lpm_conmon_args(uint32_t pid, lf_conmon *out) {
    char path[40];
    snprintf(path, sizeof path, "/proc/%u/cmdline", static_cast<unsigned>(pid));
    char *cmdline;
    size_t n;
    const int rc = read_whole(path, 1 << 20, &cmdline, &n) == 0 ? lf_conmon_args(cmdline, n, out) : -1;
    free(cmdline);
    return rc;
}

int plat_container_name(uint32_t pid, const char *container, char *buf, size_t size) {
    if (!container[0]) return -1;
    // podman: the container's conmon among the process's parents.
    uint32_t at = pid;
    for (int k = 0; k < MAX_PARENTS && at > 1; ++k) {
        lf_conmon c;
        if (lpm_conmon(at, &c) == 0) {
            if (strncmp(c.id, container, strlen(container)) != 0 || strlen(c.name) >= size) break;
            strcpy(buf, c.name);
            return 0;
        }
        at = read_parent(at);
    }
    return ld_container_name(container, buf, size);
}

namespace {

bool all_zero(const unsigned char *a, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i]) return false;
    return true;
}

// Whether mapping m publishes the socket of proto on (ipv6, addr) and port.
bool publishes(const lcn_map &m, const char *proto, int ipv6, const unsigned char *addr, int port) {
    if (strcmp(m.proto, proto) != 0 || m.host_port != port) return false;
    if (m.host_any) return all_zero(addr, ipv6 ? 16 : 4);
    return m.host_ipv6 == (ipv6 != 0) && memcmp(m.host_addr, addr, ipv6 ? 16 : 4) == 0;
}

} // namespace

int lcs_netns_of(const lcn_cache &c, int64_t *netns) {
    *netns = PLAT_NETNS_UNNAMED;
    if (!c.netns[0]) return -1;
    struct stat home, st;
    const int root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return -1;
    const int got = lc_stat(root, c.netns, 0, &st);
    close(root);
    if (got != PLAT_FILE_READ) return got == PLAT_FILE_MISSING ? 1 : -1;
    // Only a namespace's own file is one; a plain file left by a crash is none.
    if (stat("/proc/self/ns/net", &home) != 0 || st.st_dev != home.st_dev) return 1;
    *netns = static_cast<int64_t>(st.st_ino);
    return 0;
}

int lpm_forward_of(uint32_t pid, const char *proto, int ipv6, const unsigned char *addr, int port,
                   plat_forward *out) {
    lf_conmon c;
    if (lpm_conmon(pid, &c) != 0) return -1;
    const lcn_cache *all;
    const size_t n = lcs_caches(&all);
    for (size_t k = 0; k < n; ++k) {
        const lcn_cache &cache = all[k];
        if (strcmp(cache.id, c.id) != 0) continue;
        for (int m = 0; m < cache.n_maps; ++m) {
            const lcn_map &map = cache.maps[m];
            if (!publishes(map, proto, ipv6, addr, port)) continue;
            memset(out, 0, sizeof *out);
            // The container's address of the host socket's family where it has one.
            int pick = -1;
            for (int a = 0; a < cache.n_addrs; ++a)
                if (pick < 0 || (cache.addrs[a].ipv6 == (ipv6 != 0) && cache.addrs[pick].ipv6 != (ipv6 != 0)))
                    pick = a;
            if (pick < 0) return -1;
            out->ipv6 = cache.addrs[pick].ipv6;
            memcpy(out->addr, cache.addrs[pick].addr, sizeof out->addr);
            out->port = map.container_port;
            if (lcs_netns_of(cache, &out->netns) < 0) note_unreadable(PLAT_FACT_FORWARDERS);
            // A container whose namespace is gone is no longer where the port leads.
            if (out->netns != PLAT_NETNS_UNNAMED) {
                memcpy(out->container, c.id, 12);
                strcpy(out->name, c.name);
            }
            return 0;
        }
    }
    if (lcs_incomplete()) note_unreadable(PLAT_FACT_FORWARDERS);
    return -1;
}

namespace {

// kubelet's folder of pod logs, one folder per pod: <namespace>_<name>_<uid>.
const char PODS[] = "/var/log/pods";

struct pod_find {
    const char *uid;
    char found[256];
    int dir;
};

bool pod_entry(const char *name, void *ctx) {
    pod_find &f = *static_cast<pod_find *>(ctx);
    const size_t n = strlen(name);
    // Neither a namespace nor a pod name holds "_" (both are DNS names).
    if (n < 36 + 4 || n >= sizeof f.found || name[n - 37] != '_' || strcmp(name + n - 36, f.uid) != 0)
        return true;
    struct stat st;
    // The kubelet's, root's own folder.
    if (fstatat(f.dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0)
        return true;
    strcpy(f.found, name);
    return false;
}

// The pod of uid by the kubelet's log folder of that uid: 0 with both filled, else -1.
int pod_named(const char *uid, char *ns, size_t ns_size, char *name, size_t name_size) {
    const int dir = open(PODS, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (dir < 0) return -1;
    pod_find f = {uid, "", dir};
    // On the node's own path, which only root may change.
    if (fstat(dir, &st) == 0 && st.st_uid == 0) proc_dir_each(dir, pod_entry, &f);
    close(dir);
    const char *sep = strchr(f.found, '_');
    if (!sep) return -1;
    const size_t ns_len = static_cast<size_t>(sep - f.found);
    const size_t name_len = strlen(f.found) - ns_len - 1 - 37;
    if (ns_len == 0 || name_len == 0 || ns_len >= ns_size || name_len >= name_size ||
        memchr(sep + 1, '_', name_len))
        return -1;
    memcpy(ns, f.found, ns_len);
    ns[ns_len] = '\0';
    memcpy(name, sep + 1, name_len);
    name[name_len] = '\0';
    return 0;
}

} // namespace

int plat_pod_of(const char *uid, char *ns, size_t ns_size, char *name, size_t name_size) {
    if (strlen(uid) != 36) return -1;
    // The process is in a pod: a pod it cannot name is said, never read as none.
    const int got = pod_named(uid, ns, ns_size, name, name_size);
    if (got != 0) note_unreadable(PLAT_FACT_PODS);
    return got;
}
