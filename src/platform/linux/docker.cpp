// Where Docker's published ports lead on Linux. Any account may start a process named
// docker-proxy or dockerd, and make a network namespace that holds any address, so a
// forwarder is believed only when it and the dockerd that started it run as root in the
// node's own user namespace; its command line then names the container's address and
// port, and the engine's own state under its data root (config.v2.json) names each
// container's namespace (its sandbox key) and name. A namespace that merely holds the
// address is taken only when the engine's state says it is that container's.
#include "platform/platform.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/checked_files.h"
#include "platform/linux/cni.h"
#include "platform/linux/docker.h"
#include "platform/linux/facts.h"
#include "platform/linux/forward.h"
#include "platform/linux/netns.h"
#include "platform/linux/podman.h"
#include "platform/linux/rootless.h"
#include "platform/linux/proc_dirs.h"
#include "platform/linux/procs.h"

namespace {

// What one answer may read of the engine's state: its files are read once each, and no
// number of containers makes an answer read more than this.
enum {
    MAX_CONTAINERS = 4096,          // entries of the containers folder
    MAX_STATES = 64,                // config.v2.json files
    MAX_STATE_BYTES = 16 << 20,     // one of them
    MAX_ALL_BYTES = 64 << 20,       // all of them
    MAX_CANDIDATES = 8,             // namespaces holding one address
};

const int64_t ROOT = 0;

// Whether a process runs as root in the node's own user namespace, which only root can
// make a process do.
bool root_of_node(uint32_t pid) {
    char path[40], text[4096];
    snprintf(path, sizeof path, "/proc/%u/status", static_cast<unsigned>(pid));
    if (read_small(path, text, sizeof text) <= 0 || !lf_status_root(text)) return false;
    snprintf(path, sizeof path, "/proc/%u/uid_map", static_cast<unsigned>(pid));
    return read_small(path, text, sizeof text) > 0 && lf_identity_map(text);
}

// One container's state as the engine keeps it.
struct container_state {
    char id[65];
    int64_t sandbox; // the inode of its namespace, -1 when its state names none
    char name[256];
    lcn_docker *ports; // its published ports and addresses; null when not read
    bool failed;       // its state could not be read whole
};

// The engine of the forwarders of this answer: its view of the files (/proc/PID/root),
// its data root, its containers folder and the states read so far.
struct engine {
    uint32_t pid;
    unsigned discovery; // the namespaces' discovery these were read for
    int root = -1;      // -1: its files may not be reached
    char data_root[PATH_MAX];
    bool listed;
    char (*ids)[65];
    size_t n_ids;
    container_state states[MAX_STATES];
    size_t n_states;
    size_t bytes;
    dev_t nsfs; // the file system of namespaces
    // Its root, configuration or containers folder could not be read: every reading of
    // it, for a forward or for the ports published, says so.
    bool failed;
};
// One per engine of an answer (a node may run more than one dockerd).
enum { MAX_ENGINES = 4 };
engine g_engines[MAX_ENGINES];
size_t g_next_engine;

// What a failure to read the engine's files leaves unsaid: a forward's container, or
// the ports published.
int g_reading_for = PLAT_FACT_FORWARDERS;

// The engine's files could not all be read; sticky, when given, keeps it for every later
// use of what was read.
void unreadable(bool *sticky = nullptr) {
    note_unreadable(g_reading_for);
    if (sticky) *sticky = true;
}

void forget_engine(engine &e) {
    if (e.root >= 0) close(e.root);
    free(e.ids);
    for (size_t k = 0; k < e.n_states; ++k) free(e.states[k].ports);
    e.root = -1;
    e.ids = nullptr;
    e.n_ids = e.n_states = e.bytes = 0;
    e.listed = false;
    e.failed = false;
    e.data_root[0] = '\0';
}

// The data root the engine's command line, else its configuration file, names; else
// Docker's default. Both are root's: a file that is not is not taken.
void find_data_root(engine &e) {
    static char config[PATH_MAX], cmdline_path[40];
    strcpy(config, "/etc/docker/daemon.json");
    snprintf(cmdline_path, sizeof cmdline_path, "/proc/%u/cmdline", static_cast<unsigned>(e.pid));
    char *text;
    size_t n;
    if (read_whole(cmdline_path, 1 << 20, &text, &n) == 0)
        lf_dockerd_paths(text, n, {e.data_root, sizeof e.data_root, config, sizeof config, nullptr, 0});
    free(text);
    if (e.data_root[0]) return;
    const int read = lc_read(e.root, config, ROOT, 1 << 20, &text, &n);
    if (read == PLAT_FILE_READ) {
        if (!lf_json_string(text, n, "data-root", e.data_root, sizeof e.data_root) ||
            e.data_root[0] != '/')
            e.data_root[0] = '\0';
    } else if (read != PLAT_FILE_MISSING) {
        unreadable(&e.failed);
    }
    free(text);
    if (!e.data_root[0]) strcpy(e.data_root, "/var/lib/docker");
}

// The engine whose dockerd is pid, read afresh for each discovery of the namespaces.
engine *engine_of(uint32_t pid) {
    for (engine &e : g_engines)
        if (e.pid == pid && e.discovery == ln_discoveries()) {
            if (e.failed) unreadable();
            return &e;
        }
    engine &e = g_engines[g_next_engine++ % MAX_ENGINES];
    forget_engine(e);
    e.pid = pid;
    e.discovery = ln_discoveries();
    char path[40];
    snprintf(path, sizeof path, "/proc/%u/root", static_cast<unsigned>(pid));
    // The engine's own view of the files, its mounts included.
    e.root = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    e.nsfs = stat("/proc/self/ns/net", &st) == 0 ? st.st_dev : 0;
    if (e.root < 0) {
        unreadable(&e.failed);
        return &e;
    }
    find_data_root(e);
    return &e;
}

struct id_list {
    engine *e;
    bool full;
};

bool note_id(const char *name, void *ctx) {
    id_list &l = *static_cast<id_list *>(ctx);
    if (strlen(name) != 64 || strspn(name, "0123456789abcdef") != 64) return true;
    if (l.e->n_ids == MAX_CONTAINERS) {
        l.full = true;
        return false;
    }
    memcpy(l.e->ids[l.e->n_ids++], name, 65);
    return true;
}

// The full id of the one container whose id starts with the 12 characters of id, or null.
const char *full_id(engine &e, const char *id) {
    if (!e.listed) {
        e.listed = true;
        static char path[PATH_MAX + 16];
        snprintf(path, sizeof path, "%s/containers", e.data_root);
        e.ids = static_cast<char(*)[65]>(malloc(MAX_CONTAINERS * sizeof *e.ids));
        const int dir = e.ids ? lc_open_dir(e.root, path, ROOT) : -1;
        if (dir < 0) {
            unreadable(&e.failed);
            return nullptr;
        }
        id_list l = {&e, false};
        proc_dir_each(dir, note_id, &l);
        close(dir);
        if (l.full) unreadable(&e.failed);
    }
    const char *found = nullptr;
    for (size_t k = 0; k < e.n_ids; ++k) {
        if (strncmp(e.ids[k], id, 12) != 0) continue;
        if (found) return nullptr;
        found = e.ids[k];
    }
    return found;
}

// The state of the container whose id starts with id, read once; null when it has none
// that may be read.
const container_state *state_of(engine &e, const char *id) {
    if (e.root < 0 || strlen(id) != 12) return nullptr;
    const char *full = full_id(e, id);
    if (!full) return nullptr;
    for (size_t k = 0; k < e.n_states; ++k)
        if (strcmp(e.states[k].id, full) == 0) {
            if (e.states[k].failed) unreadable();
            return &e.states[k];
        }
    if (e.n_states == MAX_STATES || e.bytes >= MAX_ALL_BYTES) {
        unreadable();
        return nullptr;
    }
    container_state &s = e.states[e.n_states++];
    memcpy(s.id, full, sizeof s.id);
    s.sandbox = -1;
    s.name[0] = '\0';
    s.ports = nullptr;
    s.failed = false;
    static char path[PATH_MAX + 128];
    snprintf(path, sizeof path, "%s/containers/%s/config.v2.json", e.data_root, full);
    char *text;
    size_t n;
    const int read = lc_read(e.root, path, ROOT, MAX_STATE_BYTES, &text, &n);
    if (read != PLAT_FILE_READ) {
        if (read != PLAT_FILE_MISSING) unreadable(&s.failed);
        return &s;
    }
    e.bytes += n;
    // Each read decodes the text in place, so the others get copies.
    char *copy = static_cast<char *>(malloc(n + 1));
    char name[256], key[PATH_MAX];
    if (copy) memcpy(copy, text, n + 1);
    s.ports = static_cast<lcn_docker *>(malloc(sizeof *s.ports));
    if (s.ports && copy && lcn_docker_read(copy, n, s.ports) != 0) {
        free(s.ports);
        s.ports = nullptr;
        unreadable(&s.failed);
    }
    if (copy) memcpy(copy, text, n + 1);
    if (lf_json_string(text, n, "Name", name, sizeof name)) {
        const char *shown = name[0] == '/' ? name + 1 : name;
        memmove(s.name, shown, strlen(shown) + 1);
    }
    struct stat st;
    if (copy && lf_json_string(copy, n, "NetworkSettings.SandboxKey", key, sizeof key) &&
        key[0] == '/' && lc_stat(e.root, key, ROOT, &st) == PLAT_FILE_READ && e.nsfs &&
        st.st_dev == e.nsfs)
        s.sandbox = static_cast<int64_t>(st.st_ino);
    free(copy);
    free(text);
    return &s;
}

// Whether a socket on (ipv6, addr) is the one a proxy listening on (host_ipv6,
// host_addr) holds: the same address, or for 0.0.0.0 the dual-stack "::" that Go binds
// for it.
bool same_host(const lf_proxy &p, int ipv6, const unsigned char *addr) {
    static const unsigned char any[16] = {};
    if (p.host_ipv6 == (ipv6 != 0)) return memcmp(p.host_addr, addr, ipv6 ? 16 : 4) == 0;
    return !p.host_ipv6 && memcmp(p.host_addr, any, 4) == 0 && memcmp(addr, any, 16) == 0;
}

// Whether binding m of a container's state is the socket of proto on (ipv6, addr) and port.
bool binds(const lcn_map &m, const char *proto, int ipv6, const unsigned char *addr, int port) {
    static const unsigned char any[16] = {};
    if (strcmp(m.proto, proto) != 0 || m.host_port != port) return false;
    if (m.host_any) return memcmp(addr, any, ipv6 ? 16 : 4) == 0;
    return m.host_ipv6 == (ipv6 != 0) && memcmp(m.host_addr, addr, ipv6 ? 16 : 4) == 0;
}

// A root dockerd run without its proxy holds each published port itself, to keep it: the
// socket leads where the state of the container that publishes it says.
int dockerd_forward(uint32_t pid, const char *proto, int ipv6, const unsigned char *addr, int port,
                    plat_forward *out) {
    if (!root_of_node(pid)) return -1;
    engine &e = *engine_of(pid);
    if (e.root < 0) return -1;
    full_id(e, "");
    for (size_t c = 0; c < e.n_ids; ++c) {
        char first[13];
        memcpy(first, e.ids[c], 12);
        first[12] = '\0';
        const container_state *s = state_of(e, first);
        if (!s || !s->ports || s->sandbox < 0) continue;
        for (int m = 0; m < s->ports->n_maps; ++m) {
            const lcn_map &map = s->ports->maps[m];
            if (!binds(map, proto, ipv6, addr, port)) continue;
            int pick = -1;
            for (int a = 0; a < s->ports->n_addrs; ++a)
                if (pick < 0 || (s->ports->addrs[a].ipv6 == (ipv6 != 0) &&
                                 s->ports->addrs[pick].ipv6 != (ipv6 != 0)))
                    pick = a;
            if (pick < 0) return -1;
            memset(out, 0, sizeof *out);
            out->ipv6 = s->ports->addrs[pick].ipv6;
            memcpy(out->addr, s->ports->addrs[pick].addr, sizeof out->addr);
            out->port = map.container_port;
            out->netns = s->sandbox;
            memcpy(out->container, s->id, 12);
            if (strlen(s->name) < sizeof out->name) strcpy(out->name, s->name);
            return 0;
        }
    }
    return -1;
}

} // namespace

bool ld_root_of_node(uint32_t pid) { return root_of_node(pid); }

int plat_forward_of(uint32_t pid, const char *image, const char *proto, int ipv6,
                    const unsigned char *addr, int port, plat_forward *out) {
    if (pid && strcmp(image, "conmon") == 0) return lpm_forward_of(pid, proto, ipv6, addr, port, out);
    if (pid && strcmp(image, "dockerd") == 0) return dockerd_forward(pid, proto, ipv6, addr, port, out);
    if (lr_pasta_forward(pid, image, proto, ipv6, addr, port, out) == 0) return 0;
    if (lr_rootlessport_forward(pid, image, ipv6, out) == 0) return 0;
    if (pid == 0 || strcmp(image, "docker-proxy") != 0 || !root_of_node(pid)) return -1;
    const uint32_t parent = read_parent(pid);
    char name[256];
    if (!parent || plat_image_name(parent, name, sizeof name) != 0 ||
        strcmp(name, "dockerd") != 0 || !root_of_node(parent))
        return -1;
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
    // Each namespace that holds the address is only a candidate: the one the engine's
    // state names as a container's sandbox is the one the port leads to.
    int64_t netns[MAX_CANDIDATES];
    uint32_t inside[MAX_CANDIDATES];
    size_t n_ns = ln_holders(p.target_ipv6, p.target_addr, netns, inside, MAX_CANDIDATES);
    if (n_ns > MAX_CANDIDATES) n_ns = MAX_CANDIDATES;
    engine *e = nullptr;
    const container_state *chosen = nullptr;
    int64_t chosen_ns = PLAT_NETNS_UNNAMED;
    for (size_t k = 0; k < n_ns; ++k) {
        if (netns[k] <= 0 || !inside[k]) continue;
        plat_process facts;
        plat_process_facts(inside[k], &facts);
        if (!facts.container[0]) continue;
        if (!e) e = engine_of(parent);
        const container_state *s = state_of(*e, facts.container);
        if (!s || s->sandbox != netns[k]) continue;
        if (chosen && chosen != s) return 0; // two containers claim it: neither is told
        chosen = s;
        chosen_ns = netns[k];
    }
    if (!chosen) return 0;
    out->netns = chosen_ns;
    memcpy(out->container, chosen->id, 12);
    out->container[12] = '\0';
    if (strlen(chosen->name) < sizeof out->name) strcpy(out->name, chosen->name);
    return 0;
}

bool ld_is_engine(uint32_t pid) {
    char name[256];
    return pid && plat_image_name(pid, name, sizeof name) == 0 && strcmp(name, "dockerd") == 0 &&
           root_of_node(pid);
}

int ld_netns_folder(uint32_t pid, char *path, size_t size) {
    if (!ld_is_engine(pid)) return -1;
    static char exec_root[PATH_MAX], config[PATH_MAX];
    char cmdline_path[40];
    exec_root[0] = '\0';
    strcpy(config, "/etc/docker/daemon.json");
    snprintf(cmdline_path, sizeof cmdline_path, "/proc/%u/cmdline", static_cast<unsigned>(pid));
    char *text;
    size_t n;
    if (read_whole(cmdline_path, 1 << 20, &text, &n) == 0)
        lf_dockerd_paths(text, n, {nullptr, 0, config, sizeof config, exec_root, sizeof exec_root});
    free(text);
    if (!exec_root[0]) {
        snprintf(cmdline_path, sizeof cmdline_path, "/proc/%u/root", static_cast<unsigned>(pid));
        const int root = open(cmdline_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (root < 0) return -2;
        const int read = lc_read(root, config, ROOT, 1 << 20, &text, &n);
        close(root);
        if (read == PLAT_FILE_READ &&
            (!lf_json_string(text, n, "exec-root", exec_root, sizeof exec_root) || exec_root[0] != '/'))
            exec_root[0] = '\0';
        free(text);
        if (read != PLAT_FILE_READ && read != PLAT_FILE_MISSING) return -2;
        if (!exec_root[0]) strcpy(exec_root, "/var/run/docker");
    }
    const int len = snprintf(path, size, "%s/netns", exec_root);
    return len > 0 && static_cast<size_t>(len) < size ? 0 : -1;
}

int ld_container_name(const char *container, char *buf, size_t size) {
    uint32_t pids[MAX_ENGINES];
    const size_t n = ln_engines(pids, MAX_ENGINES);
    for (size_t k = 0; k < n && k < MAX_ENGINES; ++k) {
        if (!root_of_node(pids[k])) continue;
        const container_state *s = state_of(*engine_of(pids[k]), container);
        if (!s || !s->name[0] || strlen(s->name) >= size) continue;
        strcpy(buf, s->name);
        return 0;
    }
    return -1;
}

void ld_published(void (*fn)(const char *full_id, int64_t netns, const char *name,
                             const lcn_docker &ports, void *ctx),
                  void *ctx) {
    uint32_t pids[MAX_ENGINES];
    const size_t n = ln_engines(pids, MAX_ENGINES);
    g_reading_for = PLAT_FACT_PUBLISHED;
    for (size_t k = 0; k < n && k < MAX_ENGINES; ++k) {
        if (!root_of_node(pids[k])) continue;
        engine &e = *engine_of(pids[k]);
        if (e.root < 0) continue;
        char first[13];
        // Lists the containers folder (once per answer).
        full_id(e, "");
        for (size_t c = 0; c < e.n_ids; ++c) {
            memcpy(first, e.ids[c], 12);
            first[12] = '\0';
            const container_state *s = state_of(e, first);
            // A container that is not running has no namespace: what it published is
            // not in force.
            if (!s || s->sandbox < 0 || !s->ports) continue;
            fn(s->id, s->sandbox, s->name, *s->ports, ctx);
        }
    }
    g_reading_for = PLAT_FACT_FORWARDERS;
}
