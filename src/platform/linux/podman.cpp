// Where podman's containers are named on Linux: conmon, the monitor podman starts for
// each container (the parent of its first process), says the container's id and name on
// its command line. Any account may start a process named conmon, so it is believed
// only when it runs as root in the node's own user namespace, as podman run by root
// starts it, and its command line is exactly one that conmon takes.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/docker.h"
#include "platform/linux/facts.h"
#include "platform/linux/forward.h"
#include "platform/linux/podman.h"
#include "platform/linux/procs.h"

namespace {

// How far up from a container's process its conmon may be.
enum { MAX_PARENTS = 16 };

uint32_t parent_pid(uint32_t pid) {
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

} // namespace

int lpm_conmon(uint32_t pid, lf_conmon *out) {
    char image[256];
    if (!pid || plat_image_name(pid, image, sizeof image) != 0 || strcmp(image, "conmon") != 0 ||
        !ld_root_of_node(pid))
        return -1;
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
        at = parent_pid(at);
    }
    return ld_container_name(container, buf, size);
}
