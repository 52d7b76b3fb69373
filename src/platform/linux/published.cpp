// Ports published by address translation alone on Linux: the CNI plugins' cache (podman,
// containerd's CRI: portmap) and the state of Docker engines run without their proxy.
// No socket of the host need hold such a port, so only the engines' state tells them;
// each is kept only while the namespace its state names still exists.
#include "platform/platform.h"

#include <cstring>

#include "platform/linux/cni_state.h"
#include "platform/linux/docker.h"
#include "platform/linux/netns.h"
#include "platform/linux/podman.h"
#include "platform/linux/proc_dirs.h"

namespace {

// The container's address of the family the host side is in, where it has one; -1 none.
int pick_addr(const lcn_addr *addrs, int n, const lcn_map &m) {
    int pick = -1;
    for (int a = 0; a < n; ++a)
        if (pick < 0 || (!m.host_any && addrs[a].ipv6 == m.host_ipv6 && addrs[pick].ipv6 != m.host_ipv6))
            pick = a;
    return pick;
}

void fill(plat_published &p, const lcn_map &m, const lcn_addr &to, int64_t netns, const char *id,
          const char *name, int via) {
    memset(&p, 0, sizeof p);
    strcpy(p.proto, m.proto);
    p.any = m.host_any;
    p.ipv6 = m.host_any ? to.ipv6 : m.host_ipv6;
    memcpy(p.addr, m.host_addr, sizeof p.addr);
    p.port = m.host_port;
    p.forward.ipv6 = to.ipv6;
    memcpy(p.forward.addr, to.addr, sizeof p.forward.addr);
    p.forward.port = m.container_port;
    p.forward.netns = netns;
    memcpy(p.forward.container, id, 12);
    if (strlen(name) < sizeof p.forward.name) strcpy(p.forward.name, name);
    p.via = via;
}

struct docker_ctx {
    plat_published_fn fn;
    void *ctx;
};

void from_docker(const char *id, int64_t netns, const char *name, const lcn_docker &d, void *ctx) {
    const docker_ctx &c = *static_cast<docker_ctx *>(ctx);
    for (int k = 0; k < d.n_maps; ++k) {
        const int a = pick_addr(d.addrs, d.n_addrs, d.maps[k]);
        if (a < 0) continue;
        plat_published p;
        fill(p, d.maps[k], d.addrs[a], netns, id, name, PLAT_VIA_DOCKER);
        // Docker lists a wildcard binding once per family: one publication each way.
        c.fn(&p, c.ctx);
    }
}

} // namespace

void plat_published_read(plat_published_fn fn, void *ctx) {
    // The engines are found with the namespaces; a reading that did not look for them
    // looks now.
    if (!ln_discoveries()) ln_discover();
    const lcn_cache *all;
    const size_t n = lcs_caches(&all);
    if (lcs_incomplete()) note_unreadable(PLAT_FACT_PUBLISHED);
    for (size_t k = 0; k < n; ++k) {
        const lcn_cache &c = all[k];
        int64_t netns;
        const int gone = lcs_netns_of(c, &netns);
        if (gone < 0) note_unreadable(PLAT_FACT_PUBLISHED);
        if (gone != 0) continue; // a cache file left by a crash leads nowhere
        // A pod's own name is the pod's; podman puts its container's name there alone.
        const bool pod = c.pod_namespace[0] && c.pod_name[0];
        for (int m = 0; m < c.n_maps; ++m) {
            const int a = pick_addr(c.addrs, c.n_addrs, c.maps[m]);
            if (a < 0) continue;
            plat_published p;
            fill(p, c.maps[m], c.addrs[a], netns, c.id, pod ? "" : c.pod_name, PLAT_VIA_CNI);
            if (pod) {
                strcpy(p.pod_namespace, c.pod_namespace);
                strcpy(p.pod_name, c.pod_name);
            }
            fn(&p, ctx);
        }
    }
    docker_ctx d = {fn, ctx};
    ld_published(from_docker, &d);
}
