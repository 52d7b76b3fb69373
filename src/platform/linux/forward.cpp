#include "platform/linux/forward.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <rapidjson/reader.h>

namespace {

// The next argument of a command line at *at (n bytes), without its NUL.
bool next_arg(const char *cmdline, size_t n, size_t *at, const char **arg, size_t *len) {
    if (*at >= n) return false;
    *arg = cmdline + *at;
    const char *nul = static_cast<const char *>(memchr(*arg, '\0', n - *at));
    *len = nul ? static_cast<size_t>(nul - *arg) : n - *at;
    *at += *len + 1;
    return true;
}

// A port in plain decimal, 1 to 65535, as the whole of text; 0 otherwise.
int32_t plain_port(const char *text, size_t len) {
    if (len == 0 || len > 5 || text[0] == '0') return 0;
    int32_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        v = v * 10 + (text[i] - '0');
    }
    return v <= 65535 ? v : 0;
}

bool parse_addr(const char *text, size_t len, int *ipv6, unsigned char *addr) {
    char buf[64];
    if (len >= sizeof buf) return false;
    memcpy(buf, text, len);
    buf[len] = '\0';
    if (inet_pton(AF_INET, buf, addr) == 1) {
        *ipv6 = 0;
        return true;
    }
    *ipv6 = 1;
    return inet_pton(AF_INET6, buf, addr) == 1;
}

enum { F_PROTO, F_HOST_IP, F_HOST_PORT, F_TARGET_IP, F_TARGET_PORT, F_VALUES };
const char *const VALUE_FLAGS[F_VALUES] = {"proto", "host-ip", "host-port", "container-ip",
                                           "container-port"};

// Whether arg (len bytes) is flag name, spelled "-name" or "--name", with "=value" or not:
// value and value_len then hold what follows "=" (null without one).
bool is_flag(const char *arg, size_t len, const char *name, const char **value, size_t *value_len) {
    size_t at = len > 1 && arg[1] == '-' ? 2 : 1;
    const size_t k = strlen(name);
    if (len < at + k || memcmp(arg + at, name, k) != 0) return false;
    at += k;
    if (at == len) {
        *value = nullptr;
        return true;
    }
    if (arg[at] != '=') return false;
    *value = arg + at + 1;
    *value_len = len - at - 1;
    return true;
}

} // namespace

int lf_docker_proxy(const char *cmdline, size_t n, lf_proxy *out) {
    memset(out, 0, sizeof *out);
    const char *values[F_VALUES] = {};
    size_t lens[F_VALUES] = {};
    size_t at = 0;
    const char *arg;
    size_t len;
    if (!next_arg(cmdline, n, &at, &arg, &len)) return -1; // the program's name
    while (next_arg(cmdline, n, &at, &arg, &len)) {
        if (len < 2 || arg[0] != '-') return -1;
        const char *value;
        size_t value_len = 0;
        int which = -1;
        for (int f = 0; f < F_VALUES && which < 0; ++f)
            if (is_flag(arg, len, VALUE_FLAGS[f], &value, &value_len)) which = f;
        if (which < 0) {
            // A switch of newer proxies, or another flag with its value attached.
            if (is_flag(arg, len, "use-listen-fd", &value, &value_len) || memchr(arg, '=', len))
                continue;
            return -1;
        }
        if (values[which]) return -1;
        if (!value && !next_arg(cmdline, n, &at, &value, &value_len)) return -1;
        values[which] = value;
        lens[which] = value_len;
    }
    for (int f = 0; f < F_VALUES; ++f)
        if (!values[f]) return -1;
    static const char *const protos[] = {"tcp", "udp", "sctp"};
    for (const char *p : protos)
        if (lens[F_PROTO] == strlen(p) && memcmp(values[F_PROTO], p, lens[F_PROTO]) == 0)
            memcpy(out->proto, p, strlen(p) + 1);
    out->host_port = plain_port(values[F_HOST_PORT], lens[F_HOST_PORT]);
    out->target_port = plain_port(values[F_TARGET_PORT], lens[F_TARGET_PORT]);
    if (!out->proto[0] || !out->host_port || !out->target_port ||
        !parse_addr(values[F_HOST_IP], lens[F_HOST_IP], &out->host_ipv6, out->host_addr) ||
        !parse_addr(values[F_TARGET_IP], lens[F_TARGET_IP], &out->target_ipv6, out->target_addr)) {
        memset(out, 0, sizeof *out);
        return -1;
    }
    return 0;
}

void lf_dockerd_paths(const char *cmdline, size_t n, const lf_dockerd_dirs &dirs) {
    const char *const names[] = {"data-root", "config-file", "exec-root"};
    char *const bufs[] = {dirs.data_root, dirs.config_file, dirs.exec_root};
    const size_t sizes[] = {dirs.root_size, dirs.config_size, dirs.exec_size};
    size_t at = 0;
    const char *arg;
    size_t len;
    next_arg(cmdline, n, &at, &arg, &len);
    while (next_arg(cmdline, n, &at, &arg, &len)) {
        const char *value;
        size_t value_len = 0;
        char *dst = nullptr;
        size_t size = 0;
        for (int k = 0; k < 3 && !dst; ++k)
            if (len > 2 && arg[1] == '-' && is_flag(arg, len, names[k], &value, &value_len)) {
                dst = bufs[k];
                size = sizes[k];
            }
        if (!dst) continue;
        if (!value && !next_arg(cmdline, n, &at, &value, &value_len)) return;
        if (!size || value_len == 0 || value[0] != '/' || value_len >= size) continue;
        memcpy(dst, value, value_len);
        dst[value_len] = '\0';
    }
}

namespace {

// Finds the first member a path of keys names ("a.b": member b of the object that is
// member a of the top-level object) as the parser walks the text. Nesting is bounded
// here: the parser recurses once per level.
struct member_finder : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, member_finder> {
    enum { MAX_DEPTH = 64, MAX_KEYS = 8 };
    const char *keys[MAX_KEYS];
    size_t key_lens[MAX_KEYS];
    int n_keys = 0;
    int depth = 0;
    int matched = 0;      // the keys matched by the objects the walk is in
    bool enter = false;   // the next value is the object of the next key
    bool done = false;    // an object on the path was left: its first one counts
    bool wanted = false;  // the next value is the member's
    int found = -1;       // -1 not met yet; else whether its value is a string
    // The value, decoded in place: later strings are decoded in their own places.
    const char *value = nullptr;
    size_t value_len = 0;

    bool Default() {
        if (wanted) found = 0;
        wanted = enter = false;
        return true;
    }
    bool String(const char *s, rapidjson::SizeType len, bool) {
        if (wanted) {
            found = 1;
            value = s;
            value_len = len;
        }
        wanted = enter = false;
        return true;
    }
    bool Key(const char *s, rapidjson::SizeType len, bool) {
        const bool on_path = !done && found < 0 && depth == matched + 1 &&
                             len == key_lens[matched] && memcmp(s, keys[matched], len) == 0;
        wanted = on_path && matched + 1 == n_keys;
        enter = on_path && matched + 1 < n_keys;
        return true;
    }
    bool StartObject() {
        const bool into = enter;
        Default();
        if (into) ++matched;
        return ++depth <= MAX_DEPTH;
    }
    bool EndObject(rapidjson::SizeType) {
        --depth;
        if (matched > 0 && matched > depth - 1) {
            matched = depth > 0 ? depth - 1 : 0;
            done = true;
        }
        return true;
    }
    bool StartArray() {
        Default();
        return ++depth <= MAX_DEPTH;
    }
    bool EndArray(rapidjson::SizeType) {
        --depth;
        return true;
    }
};

} // namespace

int lf_json_string(char *text, size_t n, const char *key, char *buf, size_t size) {
    // The parser reads the text in place, up to its terminator: a NUL inside is no JSON.
    if (memchr(text, '\0', n) || text[n] != '\0') return 0;
    member_finder f;
    for (const char *k = key; f.n_keys < member_finder::MAX_KEYS; ++f.n_keys) {
        const char *dot = strchr(k, '.');
        f.keys[f.n_keys] = k;
        f.key_lens[f.n_keys] = dot ? static_cast<size_t>(dot - k) : strlen(k);
        if (!dot) {
            ++f.n_keys;
            break;
        }
        k = dot + 1;
    }
    // In place and through a handler: this way the parser keeps no stack of its own,
    // whose first growth in this version of the library adds to a null pointer.
    rapidjson::Reader reader;
    rapidjson::InsituStringStream in(text);
    const rapidjson::ParseResult ok = reader.Parse<rapidjson::kParseInsituFlag>(in, f);
    if (!ok || f.found != 1 || f.value_len >= size || memchr(f.value, '\0', f.value_len)) return 0;
    memcpy(buf, f.value, f.value_len);
    buf[f.value_len] = '\0';
    return 1;
}

int lf_status_root(const char *text) {
    const char *line = strstr(text, "\nUid:");
    if (!line) return 0;
    const char *p = line + 5;
    for (int k = 0; k < 4; ++k) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p != '0') return 0;
        ++p;
        if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\0') return 0;
    }
    return 1;
}

int lf_identity_map(const char *text) {
    unsigned long inside, outside, count;
    int used = 0;
    if (sscanf(text, " %lu %lu %lu %n", &inside, &outside, &count, &used) != 3) return 0;
    return inside == 0 && outside == 0 && count == 4294967295ul && text[used] == '\0';
}

namespace {

// conmon's flags that take a value, and those that take none (conmon 2.x).
const char *const CONMON_VALUES[] = {
    "api-version", "b", "bundle", "c", "cid", "u", "cuuid", "n", "name", "r", "runtime",
    "p", "container-pidfile", "P", "conmon-pidfile", "l", "log-path", "log-level", "log-size",
    "log-tag", "log-global-size-max", "exit-dir", "exit-command", "exit-command-arg",
    "exit-delay", "runtime-arg", "runtime-opt", "socket-dir-path", "persist-dir", "T",
    "timeout", "restore", "restore-arg", "e", "exec-process-spec", "sdnotify-socket",
    "seccomp-notify-socket", "seccomp-notify-plugins", "log-label", "log-allowlist-dir"};
const char *const CONMON_SWITCHES[] = {
    "full-attach", "syslog", "s", "systemd-cgroup", "t", "terminal", "i", "stdin",
    "leave-stdin-open", "no-pivot", "no-new-keyring", "no-sync-log", "exec", "exec-attach",
    "replace-listen-pid", "sync"};

bool hex_id(const char *text, size_t len) {
    if (len != 64) return false;
    for (size_t i = 0; i < len; ++i)
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) return false;
    return true;
}

bool container_name(const char *text, size_t len) {
    if (len == 0 || len > 253) return false;
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && (i == 0 || (c != '_' && c != '.' && c != '-'))) return false;
    }
    return true;
}

// The flag arg names: its index in the list, with value set from "=value" (null without).
int which_flag(const char *arg, size_t len, const char *const *names, size_t count,
               const char **value, size_t *value_len) {
    for (size_t k = 0; k < count; ++k) {
        const size_t name_len = strlen(names[k]);
        // One-letter flags take one dash, long ones two.
        const size_t dashes = name_len == 1 ? 1 : 2;
        if (len < dashes + name_len || memcmp(arg, "--", dashes) != 0 ||
            (dashes == 1 && arg[1] == '-') || memcmp(arg + dashes, names[k], name_len) != 0)
            continue;
        if (len == dashes + name_len) {
            *value = nullptr;
            return static_cast<int>(k);
        }
        if (arg[dashes + name_len] != '=') continue;
        *value = arg + dashes + name_len + 1;
        *value_len = len - dashes - name_len - 1;
        return static_cast<int>(k);
    }
    return -1;
}

} // namespace

int lf_conmon_args(const char *cmdline, size_t n, lf_conmon *out) {
    memset(out, 0, sizeof *out);
    size_t at = 0;
    const char *arg;
    size_t len;
    const char *cid = nullptr, *uuid = nullptr, *name = nullptr, *bundle = nullptr;
    size_t cid_len = 0, uuid_len = 0, name_len = 0, bundle_len = 0;
    if (!next_arg(cmdline, n, &at, &arg, &len)) return -1;
    const size_t n_values = sizeof CONMON_VALUES / sizeof *CONMON_VALUES;
    const size_t n_switches = sizeof CONMON_SWITCHES / sizeof *CONMON_SWITCHES;
    while (next_arg(cmdline, n, &at, &arg, &len)) {
        const char *value;
        size_t value_len = 0;
        if (len < 2 || arg[0] != '-') return -1;
        if (which_flag(arg, len, CONMON_SWITCHES, n_switches, &value, &value_len) >= 0) {
            if (value) return -1;
            continue;
        }
        const int k = which_flag(arg, len, CONMON_VALUES, n_values, &value, &value_len);
        if (k < 0) return -1;
        if (!value && !next_arg(cmdline, n, &at, &value, &value_len)) return -1;
        const char *flag = CONMON_VALUES[k];
        const char **slot = nullptr;
        size_t *slot_len = nullptr;
        if (!strcmp(flag, "c") || !strcmp(flag, "cid")) slot = &cid, slot_len = &cid_len;
        if (!strcmp(flag, "u") || !strcmp(flag, "cuuid")) slot = &uuid, slot_len = &uuid_len;
        if (!strcmp(flag, "n") || !strcmp(flag, "name")) slot = &name, slot_len = &name_len;
        if (!strcmp(flag, "b") || !strcmp(flag, "bundle")) slot = &bundle, slot_len = &bundle_len;
        if (!slot) continue;
        if (*slot) return -1; // said twice
        *slot = value;
        *slot_len = value_len;
    }
    static const char tail[] = "/userdata";
    const size_t tail_len = sizeof tail - 1;
    if (!cid || !name || !bundle || !hex_id(cid, cid_len) || !container_name(name, name_len) ||
        (uuid && (uuid_len != cid_len || memcmp(uuid, cid, cid_len) != 0)) ||
        bundle_len < cid_len + tail_len + 2 || bundle[0] != '/' ||
        memcmp(bundle + bundle_len - tail_len, tail, tail_len) != 0 ||
        bundle[bundle_len - tail_len - cid_len - 1] != '/' ||
        memcmp(bundle + bundle_len - tail_len - cid_len, cid, cid_len) != 0)
        return -1;
    memcpy(out->id, cid, cid_len);
    memcpy(out->name, name, name_len);
    return 0;
}

namespace {

// A port range "a[-b]" of text (len bytes): 1 with *lo, *hi.
bool port_range(const char *text, size_t len, int32_t *lo, int32_t *hi) {
    const char *dash = static_cast<const char *>(memchr(text, '-', len));
    const size_t first = dash ? static_cast<size_t>(dash - text) : len;
    *lo = plain_port(text, first);
    *hi = dash ? plain_port(dash + 1, len - first - 1) : *lo;
    return *lo && *hi && *lo <= *hi;
}

// One port mapping of pasta: -1 unreadable or untellable, 0 the socket not forwarded by it, 1
// forwarded (*target set).
int pasta_mapping(const char *map, size_t len, int ipv6, const unsigned char *addr, int port,
               int32_t *target) {
    if (len == 4 && memcmp(map, "none", 4) == 0) return 0;
    int found = 0;
    bool excluded = false;
    for (size_t at = 0; at <= len;) {
        const char *comma = static_cast<const char *>(memchr(map + at, ',', len - at));
        const size_t stop = comma ? static_cast<size_t>(comma - map) : len;
        const char *item = map + at;
        size_t item_len = stop - at;
        at = stop + 1;
        if (item_len == 0) return -1;
        if (item[0] == '~') {
            int32_t lo, hi;
            if (!port_range(item + 1, item_len - 1, &lo, &hi)) return -1;
            excluded = excluded || (port >= lo && port <= hi);
            if (!comma) break;
            continue;
        }
        // An address bounds the host side; a socket on another one is not this item's.
        bool on_addr = true;
        const char *slash = static_cast<const char *>(memchr(item, '/', item_len));
        if (slash) {
            int a_ipv6;
            unsigned char a[16];
            if (memchr(item, '%', static_cast<size_t>(slash - item)) ||
                !parse_addr(item, static_cast<size_t>(slash - item), &a_ipv6, a))
                return -1;
            on_addr = a_ipv6 == (ipv6 != 0) && memcmp(a, addr, ipv6 ? 16 : 4) == 0;
            item_len -= static_cast<size_t>(slash + 1 - item);
            item = slash + 1;
        }
        const char *colon = static_cast<const char *>(memchr(item, ':', item_len));
        int32_t lo, hi, to_lo, to_hi;
        const size_t host_len = colon ? static_cast<size_t>(colon - item) : item_len;
        if (!port_range(item, host_len, &lo, &hi)) return -1;
        to_lo = lo;
        to_hi = hi;
        if (colon && (!port_range(colon + 1, item_len - host_len - 1, &to_lo, &to_hi) ||
                      to_hi - to_lo != hi - lo))
            return -1;
        if (on_addr && port >= lo && port <= hi && !found) {
            found = 1;
            *target = to_lo + (port - lo);
        }
        if (!comma) break;
    }
    return found && !excluded ? 1 : 0;
}

// pasta's options that take a value, besides the port mappings: their values are skipped.
const char *const PASTA_VALUES[] = {
    "-T", "--tcp-ns", "-U", "--udp-ns", "-i", "--interface", "-o", "--outbound", "-a",
    "--address", "-n", "--netmask", "-g", "--gateway", "-M", "--mac-addr", "-D", "--dns",
    "-S", "--search", "-m", "--mtu", "-P", "--pid", "-p", "--pcap", "-l", "--log-file",
    "--netns", "--userns", "--ns-ifname", "--runas", "--log-size", "--dns-forward",
    "--outbound-if4", "--outbound-if6"};

} // namespace

int lf_pasta_target(const char *cmdline, size_t n, const char *proto, int ipv6,
                    const unsigned char *addr, int port, int32_t *target) {
    const bool tcp = strcmp(proto, "tcp") == 0;
    if (!tcp && strcmp(proto, "udp") != 0) return -1;
    const char *shortf = tcp ? "-t" : "-u", *longf = tcp ? "--tcp-ports" : "--udp-ports";
    size_t at = 0;
    const char *arg;
    size_t len;
    int found = 0;
    if (!next_arg(cmdline, n, &at, &arg, &len)) return -1;
    while (next_arg(cmdline, n, &at, &arg, &len)) {
        if (len == 2 && memcmp(arg, "--", 2) == 0) break; // the command it runs follows
        const char *map = nullptr;
        size_t map_len = 0;
        const size_t long_len = strlen(longf);
        if ((len == 2 && memcmp(arg, shortf, 2) == 0) ||
            (len == long_len && memcmp(arg, longf, long_len) == 0)) {
            if (!next_arg(cmdline, n, &at, &map, &map_len)) return -1;
        } else if (len > 2 && memcmp(arg, shortf, 2) == 0) {
            map = arg + 2;
            map_len = len - 2;
        } else if (len > long_len + 1 && memcmp(arg, longf, long_len) == 0 && arg[long_len] == '=') {
            map = arg + long_len + 1;
            map_len = len - long_len - 1;
        } else {
            for (const char *v : PASTA_VALUES)
                if (strlen(v) == len && memcmp(arg, v, len) == 0) {
                    if (!next_arg(cmdline, n, &at, &arg, &len)) return -1;
                    break;
                }
            continue;
        }
        int32_t to = 0;
        const int got = pasta_mapping(map, map_len, ipv6, addr, port, &to);
        if (got < 0) return -1;
        if (got && !found) {
            found = 1;
            *target = to;
        }
    }
    return found ? 0 : -1;
}
