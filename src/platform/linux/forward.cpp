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

void lf_dockerd_paths(const char *cmdline, size_t n, char *data_root, size_t root_size,
                      char *config_file, size_t config_size) {
    size_t at = 0;
    const char *arg;
    size_t len;
    next_arg(cmdline, n, &at, &arg, &len);
    while (next_arg(cmdline, n, &at, &arg, &len)) {
        const char *value;
        size_t value_len = 0;
        char *dst = nullptr;
        size_t size = 0;
        if (len > 2 && arg[1] == '-' && is_flag(arg, len, "data-root", &value, &value_len)) {
            dst = data_root;
            size = root_size;
        } else if (len > 2 && arg[1] == '-' &&
                   is_flag(arg, len, "config-file", &value, &value_len)) {
            dst = config_file;
            size = config_size;
        } else {
            continue;
        }
        if (!value && !next_arg(cmdline, n, &at, &value, &value_len)) return;
        if (value_len == 0 || value[0] != '/' || value_len >= size) continue;
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
