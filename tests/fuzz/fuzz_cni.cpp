// The CNI cache reader over arbitrary bytes: the files are meant to be written by root's
// engines only, and a reading never takes a mapping it cannot read whole.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/linux/cni.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = static_cast<char *>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = '\0';
    lcn_cache c;
    if (lcn_read(text, size, &c) == 0) {
        if (strlen(c.id) != 64 || c.n_maps < 0 || c.n_maps > LCN_MAX_MAPS || c.n_addrs < 0 ||
            c.n_addrs > LCN_MAX_ADDRS || (c.netns[0] && c.netns[0] != '/'))
            abort();
        for (int k = 0; k < c.n_maps; ++k) {
            const lcn_map &m = c.maps[k];
            if (m.host_port < 1 || m.host_port > 65535 || m.container_port < 1 ||
                m.container_port > 65535 ||
                (strcmp(m.proto, "tcp") && strcmp(m.proto, "udp") && strcmp(m.proto, "sctp")))
                abort();
        }
    } else {
        const lcn_cache zero = {};
        if (memcmp(&c, &zero, sizeof c) != 0) abort();
    }
    // The same bytes as a Docker container's state (the cache reader decoded its copy).
    memcpy(text, data, size);
    text[size] = '\0';
    lcn_docker d;
    if (lcn_docker_read(text, size, &d) == 0) {
        for (int k = 0; k < d.n_maps; ++k)
            if (d.maps[k].host_port < 1 || d.maps[k].host_port > 65535 ||
                d.maps[k].container_port < 1 || d.maps[k].container_port > 65535)
                abort();
    } else {
        const lcn_docker zero = {};
        if (memcmp(&d, &zero, sizeof d) != 0) abort();
    }
    free(text);
    return 0;
}
