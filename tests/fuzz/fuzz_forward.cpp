// The forwarder readers over arbitrary bytes: any local user may start a process named
// docker-proxy or dockerd with any command line, and the engine's state files are JSON
// that only the engine is meant to write.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/linux/checked_files.h"
#include "platform/linux/forward.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy and its terminator, which the file reader adds: every reader
    // takes a length, and must not read past it.
    char *text = static_cast<char *>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = '\0';

    lf_proxy p;
    if (lf_docker_proxy(text, size, &p) == 0) {
        const bool proto = !strcmp(p.proto, "tcp") || !strcmp(p.proto, "udp") ||
                           !strcmp(p.proto, "sctp");
        if (!proto || p.host_port < 1 || p.host_port > 65535 || p.target_port < 1 ||
            p.target_port > 65535)
            abort();
    } else {
        // A refused command line leaves nothing behind to be mistaken for a forward.
        const lf_proxy zero = {};
        if (memcmp(&p, &zero, sizeof p) != 0) abort();
    }

    char root[32] = "unset", config[32] = "unset", exec[32] = "unset";
    lf_dockerd_paths(text, size, {root, sizeof root, config, sizeof config, exec, sizeof exec});
    const char *const paths[] = {root, config, exec};
    for (const char *path : paths)
        if (!memchr(path, '\0', 32) || (strcmp(path, "unset") != 0 && path[0] != '/')) abort();

    lf_conmon c;
    if (lf_conmon_args(text, size, &c) == 0 &&
        (strlen(c.id) != 64 || strspn(c.id, "0123456789abcdef") != 64 || !c.name[0] ||
         strpbrk(c.name, "<>\"'/ ")))
        abort();

    // pasta's port mappings: a forward is a port, whatever the text.
    static const unsigned char lo[16] = {127, 0, 0, 1};
    for (const char *proto : {"tcp", "udp"}) {
        int32_t target = 0;
        if (lf_pasta_target(text, size, proto, 0, lo, 8080, &target) == 0 &&
            (target < 1 || target > 65535))
            abort();
    }

    // A process's status and uid map: only root of the node's own user namespace passes,
    // whatever else the text holds.
    if (lf_status_root(text) && !strstr(text, "\nUid:")) abort();
    if (lf_identity_map(text) && !strchr(text, '4')) abort();
    // A path beneath a root: no component is "." or "..", and the walk always ends.
    size_t at = 0, steps = 0;
    const char *part;
    size_t len;
    int got;
    while ((got = lc_next_component(text, &at, &part, &len)) == 1) {
        if (len == 0 || memchr(part, '/', len) || ++steps > size) abort();
    }
    if (got < 0 && !(len <= 2 && part[0] == '.')) abort();

    // Last: the JSON reader decodes the text in place.
    char name[16];
    char *copy = static_cast<char *>(malloc(size + 1));
    memcpy(copy, text, size + 1);
    if (lf_json_string(text, size, "Name", name, sizeof name) == 1 &&
        strlen(name) >= sizeof name)
        abort();
    if (lf_json_string(copy, size, "NetworkSettings.SandboxKey", name, sizeof name) == 1 &&
        strlen(name) >= sizeof name)
        abort();
    free(copy);
    free(text);
    return 0;
}
