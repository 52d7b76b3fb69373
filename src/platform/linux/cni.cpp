#include "platform/linux/cni.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <strings.h>
#include <rapidjson/reader.h>

namespace {

enum { MAX_DEPTH = 64 };

bool same(const char *s, size_t len, const char *word) {
    return strlen(word) == len && memcmp(s, word, len) == 0;
}

bool same_either(const char *s, size_t len, const char *a, const char *b) {
    return same(s, len, a) || same(s, len, b);
}

bool copy(const char *s, size_t len, char *buf, size_t size) {
    if (len >= size || memchr(s, '\0', len)) return false;
    memcpy(buf, s, len);
    buf[len] = '\0';
    return true;
}

bool all_zero(const unsigned char *a, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i]) return false;
    return true;
}

bool parse_addr(const char *s, size_t len, int *ipv6, unsigned char *addr) {
    char text[64];
    if (!copy(s, len, text, sizeof text)) return false;
    if (inet_pton(AF_INET, text, addr) == 1) {
        *ipv6 = 0;
        return true;
    }
    *ipv6 = 1;
    return inet_pton(AF_INET6, text, addr) == 1;
}

// Walks the text once, keeping the key at each level, and takes the members it knows
// where they stand. Anything malformed in a member it takes refuses the whole file.
struct cache_reader : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, cache_reader> {
    lcn_cache *out;
    // The key of each level's member (null in arrays), and whether each level is an array.
    const char *keys[MAX_DEPTH + 1] = {};
    size_t key_lens[MAX_DEPTH + 1] = {};
    bool arrays[MAX_DEPTH + 1] = {};
    int index[MAX_DEPTH + 1] = {}; // the position in an array
    int depth = 0;
    bool bad = false;
    bool kind = false;
    // The mapping being read, and which of its members were met.
    lcn_map map = {};
    int map_seen = 0;
    // The cniArgs pair being read.
    const char *arg_key = nullptr;
    size_t arg_key_len = 0;

    // Whether the value about to come sits at the path of keys ("*" any array element).
    bool at(std::initializer_list<const char *> path) const {
        if (static_cast<int>(path.size()) != depth) return false;
        int level = 1;
        for (const char *k : path) {
            if (k[0] == '*') {
                if (!arrays[level - 1]) return false;
            } else if (arrays[level - 1] || !same(keys[level], key_lens[level], k)) {
                return false;
            }
            ++level;
        }
        return true;
    }
    // The key of the member the next value is (depth is the level holding it).
    const char *key() const { return arrays[depth - 1] ? nullptr : keys[depth]; }
    size_t key_len() const { return key_lens[depth]; }

    // Whether the path to the level holding the next value starts capabilityArgs,
    // portMappings, an element (levels of objects, the mappings' array).
    bool mappings_at(int level) const {
        return depth >= level && !arrays[0] && !arrays[1] && arrays[2] && keys[1] && keys[2] &&
               same(keys[1], key_lens[1], "capabilityArgs") &&
               same(keys[2], key_lens[2], "portMappings");
    }
    // The next value is a member of a mapping.
    bool in_map() const { return depth == 4 && !arrays[3] && mappings_at(4) && keys[4]; }

    void value_done() {
        if (depth > 0 && arrays[depth - 1]) ++index[depth - 1];
    }

    bool port_value(int64_t v) {
        if (!in_map()) return true;
        const char *k = key();
        const size_t len = key_len();
        const bool port = same_either(k, len, "hostPort", "HostPort") ||
                          same_either(k, len, "containerPort", "ContainerPort");
        if (port && (v < 1 || v > 65535)) return false;
        if (same_either(k, len, "hostPort", "HostPort")) {
            if (map_seen & 1) return false;
            map.host_port = static_cast<int32_t>(v);
            map_seen |= 1;
        } else if (same_either(k, len, "containerPort", "ContainerPort")) {
            if (map_seen & 2) return false;
            map.container_port = static_cast<int32_t>(v);
            map_seen |= 2;
        }
        return true;
    }

    bool Default() {
        // A member it takes that holds anything but what it should: not the engine's.
        if (in_map()) {
            const char *k = key();
            const size_t len = key_len();
            if (same_either(k, len, "hostPort", "HostPort") ||
                same_either(k, len, "containerPort", "ContainerPort") ||
                same_either(k, len, "protocol", "Protocol"))
                return false;
        }
        value_done();
        return true;
    }
    bool Int(int v) { return Int64(v); }
    bool Uint(unsigned v) { return Int64(v); }
    bool Int64(int64_t v) {
        if (!port_value(v)) return false;
        value_done();
        return true;
    }
    bool Uint64(uint64_t v) { return Int64(v > INT64_MAX ? INT64_MAX : static_cast<int64_t>(v)); }
    bool Double(double) { return Default(); }

    bool String(const char *s, rapidjson::SizeType len, bool) {
        if (at({"kind"})) {
            kind = same(s, len, "cniCacheV1");
        } else if (at({"containerId"})) {
            if (len != 64 || strspn(s, "0123456789abcdef") < 64 || !copy(s, len, out->id, sizeof out->id))
                return false;
        } else if (in_map()) {
            const char *k = key();
            const size_t klen = key_len();
            if (same_either(k, klen, "protocol", "Protocol")) {
                static const char *const protos[] = {"tcp", "udp", "sctp"};
                bool ok = false;
                for (const char *p : protos)
                    if (strlen(p) == len && strncasecmp(s, p, len) == 0) {
                        strcpy(map.proto, p);
                        ok = true;
                    }
                if (!ok || (map_seen & 4)) return false;
                map_seen |= 4;
            } else if (same_either(k, klen, "hostIP", "HostIP")) {
                if (map_seen & 8) return false;
                map_seen |= 8;
                if (len > 0 && !parse_addr(s, len, &map.host_ipv6, map.host_addr)) return false;
                map.host_any = len == 0;
            } else if (same_either(k, klen, "hostPort", "HostPort") ||
                       same_either(k, klen, "containerPort", "ContainerPort")) {
                return false;
            }
        } else if (at({"result", "ips", "*", "address"})) {
            const char *slash = static_cast<const char *>(memchr(s, '/', len));
            if (!slash) return false;
            lcn_addr a;
            if (!parse_addr(s, static_cast<size_t>(slash - s), &a.ipv6, a.addr)) return false;
            if (out->n_addrs == LCN_MAX_ADDRS) return false;
            out->addrs[out->n_addrs++] = a;
        } else if (at({"result", "interfaces", "*", "sandbox"})) {
            if (len == 0) {
                value_done();
                return true;
            }
            if (s[0] != '/' || (out->netns[0] && !same(s, len, out->netns)) ||
                !copy(s, len, out->netns, sizeof out->netns))
                return false;
        } else if (depth == 3 && !arrays[0] && arrays[1] && arrays[2] && keys[1] &&
                   same(keys[1], key_lens[1], "cniArgs")) {
            if (index[2] == 0) {
                arg_key = s;
                arg_key_len = len;
            } else if (index[2] == 1 && arg_key) {
                char *into = same(arg_key, arg_key_len, "K8S_POD_NAMESPACE") ? out->pod_namespace
                             : same(arg_key, arg_key_len, "K8S_POD_NAME")    ? out->pod_name
                                                                             : nullptr;
                if (into && !copy(s, len, into, sizeof out->pod_name)) return false;
            }
        }
        value_done();
        return true;
    }
    bool Key(const char *s, rapidjson::SizeType len, bool) {
        keys[depth] = s;
        key_lens[depth] = len;
        return true;
    }
    bool open(bool array) {
        if (depth == MAX_DEPTH) return false;
        // A mapping starts.
        if (!array && depth == 3 && mappings_at(3)) {
            map = {};
            map_seen = 0;
        }
        if (array && depth == 2 && !arrays[0] && arrays[1] && keys[1] &&
            same(keys[1], key_lens[1], "cniArgs"))
            arg_key = nullptr;
        arrays[depth] = array;
        index[depth] = 0;
        ++depth;
        keys[depth] = nullptr;
        key_lens[depth] = 0;
        return true;
    }
    bool close() {
        --depth;
        if (depth == 3 && !arrays[3] && mappings_at(3)) {
            // Every mapping names its ports and protocol.
            if ((map_seen & 7) != 7 || out->n_maps == LCN_MAX_MAPS) return false;
            if (!(map_seen & 8)) map.host_any = 1;
            out->maps[out->n_maps++] = map;
        }
        value_done();
        return true;
    }
    bool StartObject() { return open(false); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool StartArray() { return open(true); }
    bool EndArray(rapidjson::SizeType) { return close(); }
};

// Walks a Docker container's state for its published ports and addresses.
struct docker_reader : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, docker_reader> {
    lcn_docker *out;
    const char *keys[MAX_DEPTH + 1] = {};
    size_t key_lens[MAX_DEPTH + 1] = {};
    bool arrays[MAX_DEPTH + 1] = {};
    int depth = 0;
    lcn_map map = {};
    int map_seen = 0;
    // The container port and protocol of the binding list being read.
    int32_t container_port = 0;
    char proto[8] = "";

    bool object_path(int levels, const char *a, const char *b) const {
        for (int l = 0; l < levels; ++l)
            if (arrays[l]) return false;
        return keys[1] && keys[2] && same(keys[1], key_lens[1], a) && same(keys[2], key_lens[2], b);
    }
    // The next value is a member of a binding: NetworkSettings.Ports.<key>[i].<member>.
    bool in_binding() const {
        return depth == 5 && object_path(3, "NetworkSettings", "Ports") && arrays[3] && !arrays[4] &&
               keys[5];
    }
    bool in_network() const {
        return depth == 4 && object_path(4, "NetworkSettings", "Networks") && keys[4];
    }

    // "<port>/<proto>": sets container_port and proto.
    bool port_key(const char *k, size_t len) {
        const char *slash = static_cast<const char *>(memchr(k, '/', len));
        if (!slash) return false;
        const size_t digits = static_cast<size_t>(slash - k);
        int32_t v = 0;
        if (digits == 0 || digits > 5 || k[0] == '0') return false;
        for (size_t i = 0; i < digits; ++i) {
            if (k[i] < '0' || k[i] > '9') return false;
            v = v * 10 + (k[i] - '0');
        }
        if (v > 65535) return false;
        static const char *const protos[] = {"tcp", "udp", "sctp"};
        for (const char *p : protos)
            if (same(slash + 1, len - digits - 1, p)) {
                strcpy(proto, p);
                container_port = v;
                return true;
            }
        return false;
    }

    bool Default() { return !in_binding(); }
    bool Null() {
        // A port exposed but not published.
        return !in_binding();
    }
    bool String(const char *s, rapidjson::SizeType len, bool) {
        if (in_binding()) {
            const char *k = keys[5];
            const size_t klen = key_lens[5];
            if (same(k, klen, "HostIp")) {
                if (map_seen & 1) return false;
                map_seen |= 1;
                map.host_any = len == 0;
                if (len && !parse_addr(s, len, &map.host_ipv6, map.host_addr)) return false;
                if (len && all_zero(map.host_addr, map.host_ipv6 ? 16 : 4)) map.host_any = 1;
            } else if (same(k, klen, "HostPort")) {
                if (map_seen & 2) return false;
                map_seen |= 2;
                int32_t v = 0;
                if (len == 0 || len > 5 || s[0] == '0') return false;
                for (size_t i = 0; i < len; ++i) {
                    if (s[i] < '0' || s[i] > '9') return false;
                    v = v * 10 + (s[i] - '0');
                }
                if (v > 65535) return false;
                map.host_port = v;
            }
        } else if (in_network() &&
                   (same(keys[4], key_lens[4], "IPAddress") ||
                    same(keys[4], key_lens[4], "GlobalIPv6Address")) && len) {
            lcn_addr a;
            if (!parse_addr(s, len, &a.ipv6, a.addr) || out->n_addrs == LCN_MAX_ADDRS) return false;
            out->addrs[out->n_addrs++] = a;
        }
        return true;
    }
    bool Key(const char *s, rapidjson::SizeType len, bool) {
        keys[depth] = s;
        key_lens[depth] = len;
        return true;
    }
    bool open(bool array) {
        if (depth == MAX_DEPTH) return false;
        // A binding list of a port: its key says which.
        if (array && depth == 3 && object_path(3, "NetworkSettings", "Ports") &&
            !port_key(keys[3], key_lens[3]))
            return false;
        if (!array && depth == 4 && object_path(3, "NetworkSettings", "Ports") && arrays[3]) {
            map = {};
            map_seen = 0;
        }
        arrays[depth] = array;
        ++depth;
        keys[depth] = nullptr;
        key_lens[depth] = 0;
        return true;
    }
    bool close() {
        --depth;
        if (depth == 4 && !arrays[4] && arrays[3] && object_path(3, "NetworkSettings", "Ports")) {
            if (map_seen != 3 || out->n_maps == LCN_MAX_MAPS) return false;
            strcpy(map.proto, proto);
            map.container_port = container_port;
            out->maps[out->n_maps++] = map;
        }
        return true;
    }
    bool StartObject() { return open(false); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool StartArray() { return open(true); }
    bool EndArray(rapidjson::SizeType) { return close(); }
};

} // namespace

int lcn_docker_read(char *text, size_t n, lcn_docker *out) {
    memset(out, 0, sizeof *out);
    if (memchr(text, '\0', n) || text[n] != '\0') return -1;
    docker_reader r;
    r.out = out;
    rapidjson::Reader reader;
    rapidjson::InsituStringStream in(text);
    if (!reader.Parse<rapidjson::kParseInsituFlag>(in, r)) {
        memset(out, 0, sizeof *out);
        return -1;
    }
    return 0;
}

int lcn_read(char *text, size_t n, lcn_cache *out) {
    memset(out, 0, sizeof *out);
    if (memchr(text, '\0', n) || text[n] != '\0') return -1;
    cache_reader r;
    r.out = out;
    rapidjson::Reader reader;
    rapidjson::InsituStringStream in(text);
    const rapidjson::ParseResult ok = reader.Parse<rapidjson::kParseInsituFlag>(in, r);
    if (!ok || !r.kind || !out->id[0]) {
        memset(out, 0, sizeof *out);
        return -1;
    }
    return 0;
}
