// Where Docker's published ports lead on Linux: docker-proxy's command line names the
// container address and port, the namespaces' own interface addresses tell which
// namespace has that address, the processes in it their container, and the engine's
// state under its data root (config.v2.json) the container's name.
#include "platform/platform.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/facts.h"
#include "platform/linux/forward.h"
#include "platform/linux/netns.h"
#include "platform/linux/proc_dirs.h"
#include "platform/linux/procs.h"

namespace {

// The parent of a process, from /proc/PID/stat (after the name, which may hold any byte);
// 0 when unknown.
uint32_t parent_of(uint32_t pid) {
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

// Where dockerd keeps its state, as seen from here: /proc/PID/root of the engine (its
// own view of the files, a container's included) and the data root its command line,
// else its configuration file, names; else Docker's default.
struct engine_root {
    uint32_t pid; // the parent of the proxies these were read for
    char path[PATH_MAX];
};
engine_root g_root;

void find_data_root(uint32_t parent, engine_root &r) {
    char name[256];
    const bool dockerd =
        parent && plat_image_name(parent, name, sizeof name) == 0 && strcmp(name, "dockerd") == 0;
    char prefix[40] = "";
    // Static, like every large buffer here: the stack may be small.
    static char data_root[PATH_MAX], config[PATH_MAX], path[PATH_MAX + 40];
    data_root[0] = '\0';
    strcpy(config, "/etc/docker/daemon.json");
    if (dockerd) {
        snprintf(prefix, sizeof prefix, "/proc/%u/root", static_cast<unsigned>(parent));
        char cmdline_path[40];
        snprintf(cmdline_path, sizeof cmdline_path, "/proc/%u/cmdline",
                 static_cast<unsigned>(parent));
        char *cmdline;
        size_t n;
        if (read_whole(cmdline_path, 1 << 20, &cmdline, &n) == 0)
            lf_dockerd_paths(cmdline, n, data_root, sizeof data_root, config, sizeof config);
        free(cmdline);
    }
    if (!data_root[0]) {
        snprintf(path, sizeof path, "%s%s", prefix, config);
        char *text;
        size_t n;
        if (read_whole(path, 1 << 20, &text, &n) != 0 ||
            !lf_json_string(text, n, "data-root", data_root, sizeof data_root) ||
            data_root[0] != '/')
            strcpy(data_root, "/var/lib/docker");
        free(text);
    }
    r.pid = parent;
    if (static_cast<size_t>(snprintf(r.path, sizeof r.path, "%s%s", prefix, data_root)) >=
        sizeof r.path)
        r.path[0] = '\0';
}

// Finds the one container folder whose id starts with the 12 characters of id.
struct id_search {
    const char *id;
    char found[80];
    int matches;
};

bool match_container(const char *name, void *ctx) {
    id_search &s = *static_cast<id_search *>(ctx);
    if (strlen(name) == 64 && strncmp(name, s.id, 12) == 0) {
        if (++s.matches == 1) memcpy(s.found, name, 65);
    }
    return s.matches < 2;
}

// The name Docker keeps for a container (without its leading "/"), or empty.
void container_name(const engine_root &r, const char *id, char *buf, size_t size) {
    buf[0] = '\0';
    if (!r.path[0] || strlen(id) != 12) return;
    static char path[PATH_MAX + 128];
    snprintf(path, sizeof path, "%s/containers", r.path);
    const int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    id_search s = {id, "", 0};
    proc_dir_each(dir, match_container, &s);
    close(dir);
    if (s.matches != 1) return;
    snprintf(path, sizeof path, "%s/containers/%s/config.v2.json", r.path, s.found);
    char *text;
    size_t n;
    char name[256];
    if (read_whole(path, 16u << 20, &text, &n) == 0 &&
        lf_json_string(text, n, "Name", name, sizeof name)) {
        const char *shown = name[0] == '/' ? name + 1 : name;
        if (strlen(shown) < size) strcpy(buf, shown);
    }
    free(text);
}

// Whether a socket on (ipv6, addr) is the one a proxy listening on (host_ipv6,
// host_addr) holds: the same address, or for 0.0.0.0 the dual-stack "::" that Go binds
// for it.
bool same_host(const lf_proxy &p, int ipv6, const unsigned char *addr) {
    static const unsigned char any[16] = {};
    if (p.host_ipv6 == (ipv6 != 0)) return memcmp(p.host_addr, addr, ipv6 ? 16 : 4) == 0;
    return !p.host_ipv6 && memcmp(p.host_addr, any, 4) == 0 && memcmp(addr, any, 16) == 0;
}

} // namespace

int plat_forward_of(uint32_t pid, const char *image, const char *proto, int ipv6,
                    const unsigned char *addr, int port, plat_forward *out) {
    if (pid == 0 || strcmp(image, "docker-proxy") != 0) return -1;
    char path[40];
    snprintf(path, sizeof path, "/proc/%u/cmdline", static_cast<unsigned>(pid));
    char *cmdline;
    size_t n;
    lf_proxy p;
    const int rc =
        read_whole(path, 1 << 16, &cmdline, &n) == 0 ? lf_docker_proxy(cmdline, n, &p) : -1;
    free(cmdline);
    if (rc != 0 || strcmp(p.proto, proto) != 0 || p.host_port != port || !same_host(p, ipv6, addr))
        return -1;
    memset(out, 0, sizeof *out);
    out->ipv6 = p.target_ipv6;
    memcpy(out->addr, p.target_addr, sizeof out->addr);
    out->port = p.target_port;
    out->netns = PLAT_NETNS_UNNAMED;
    uint32_t inside = 0;
    if (!ln_holding(p.target_ipv6, p.target_addr, &out->netns, &inside)) return 0;
    if (!inside) return 0;
    plat_process facts;
    plat_process_facts(inside, &facts);
    memcpy(out->container, facts.container, sizeof out->container);
    if (!out->container[0]) return 0;
    const uint32_t parent = parent_of(pid);
    if (!g_root.path[0] || g_root.pid != parent) find_data_root(parent, g_root);
    container_name(g_root, out->container, out->name, sizeof out->name);
    return 0;
}
