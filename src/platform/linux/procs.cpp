#include "platform/linux/procs.h"

#include <cstring>

namespace {

// A piece of a text: p, n bytes.
struct piece {
    const char *p;
    size_t n;
};

bool starts_with(piece s, const char *prefix) {
    const size_t k = strlen(prefix);
    return s.n >= k && memcmp(s.p, prefix, k) == 0;
}

bool ends_with(piece s, const char *suffix) {
    const size_t k = strlen(suffix);
    return s.n >= k && memcmp(s.p + s.n - k, suffix, k) == 0;
}

bool equals(piece s, const char *text) {
    return s.n == strlen(text) && memcmp(s.p, text, s.n) == 0;
}

// A decimal number of 32 bits that is the whole piece.
bool whole_number(piece s, uint32_t *v) {
    if (s.n == 0 || s.n > 10) return false;
    uint64_t x = 0;
    for (size_t i = 0; i < s.n; ++i) {
        if (s.p[i] < '0' || s.p[i] > '9') return false;
        x = x * 10 + static_cast<uint64_t>(s.p[i] - '0');
    }
    if (x > 0xffffffffu) return false;
    *v = static_cast<uint32_t>(x);
    return true;
}

// The next line of a text at *at (n bytes in all), without its line feed.
bool next_line(const char *text, size_t n, size_t *at, piece *line) {
    if (*at >= n) return false;
    const char *start = text + *at;
    const char *nl = static_cast<const char *>(memchr(start, '\n', n - *at));
    line->p = start;
    line->n = nl ? static_cast<size_t>(nl - start) : n - *at;
    *at += line->n + 1;
    return true;
}

// Field k (from 0) of a line split at sep.
bool field(piece line, char sep, int k, piece *out) {
    size_t start = 0;
    for (int i = 0;; ++i) {
        const char *end = static_cast<const char *>(memchr(line.p + start, sep, line.n - start));
        const size_t stop = end ? static_cast<size_t>(end - line.p) : line.n;
        if (i == k) {
            *out = {line.p + start, stop - start};
            return true;
        }
        if (!end) return false;
        start = stop + 1;
    }
}

bool copy_piece(piece s, char *buf, size_t size) {
    if (size == 0 || s.n >= size) return false;
    memcpy(buf, s.p, s.n);
    buf[s.n] = '\0';
    return true;
}

bool is_hex(piece s) {
    for (size_t i = 0; i < s.n; ++i) {
        const char c = s.p[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return s.n > 0;
}

// Container ids are 64 hexadecimal characters; shorter forms are taken from 12 on.
enum { ID_SHOWN = 12, ID_FULL = 64 };

// The id a runtime's scope names in one component: "<runtime>-<id>" with or without
// ".scope", or a kubepods slice that ends in ":<runtime>:<id>".
bool scope_id(piece c, piece *id) {
    if (ends_with(c, ".scope")) c.n -= 6;
    // podman's conmon runs in libpod-conmon-<id>.scope beside its container.
    static const char *const runtimes[] = {"docker-", "libpod-conmon-", "libpod-", "crio-",
                                           "cri-containerd-"};
    for (const char *runtime : runtimes) {
        if (!starts_with(c, runtime)) continue;
        const size_t k = strlen(runtime);
        *id = {c.p + k, c.n - k};
        return id->n >= ID_SHOWN && is_hex(*id);
    }
    if (!starts_with(c, "kubepods")) return false;
    const char *colon = static_cast<const char *>(memrchr(c.p, ':', c.n));
    if (!colon) return false;
    *id = {colon + 1, c.n - static_cast<size_t>(colon + 1 - c.p)};
    return id->n >= ID_SHOWN && is_hex(*id);
}

// The components of a path, at most this many (deeper paths keep their last ones).
enum { MAX_COMPONENTS = 64 };

void path_facts(piece path, char *unit, size_t unit_size, char *container, size_t container_size) {
    piece parts[MAX_COMPONENTS];
    int n = 0;
    bool kubepods = false;
    for (size_t at = 0; at < path.n;) {
        const char *slash = static_cast<const char *>(memchr(path.p + at, '/', path.n - at));
        const size_t stop = slash ? static_cast<size_t>(slash - path.p) : path.n;
        const piece c = {path.p + at, stop - at};
        if (c.n) {
            if (starts_with(c, "kubepods")) kubepods = true;
            if (n == MAX_COMPONENTS) {
                memmove(parts, parts + 1, sizeof parts - sizeof *parts);
                --n;
            }
            parts[n++] = c;
        }
        at = stop + 1;
    }
    for (int i = n - 1; i >= 0; --i)
        if (ends_with(parts[i], ".service") || ends_with(parts[i], ".socket") ||
            ends_with(parts[i], ".scope")) {
            if (!copy_piece(parts[i], unit, unit_size)) unit[0] = '\0';
            break;
        }
    for (int i = n - 1; i >= 0; --i) {
        piece id;
        // A bare id stands in a runtime's own tree (/docker/<id>) or a kubepods one.
        const bool bare = parts[i].n == ID_FULL && is_hex(parts[i]) &&
                          ((i > 0 && equals(parts[i - 1], "docker")) || kubepods);
        if (bare) id = parts[i];
        if (bare || scope_id(parts[i], &id)) {
            if (!copy_piece({id.p, ID_SHOWN}, container, container_size)) container[0] = '\0';
            return;
        }
    }
}

} // namespace

int lp_status_number(const char *text, const char *key, uint32_t *v) {
    const size_t n = strlen(text);
    size_t at = 0;
    piece line;
    while (next_line(text, n, &at, &line)) {
        if (!starts_with(line, key)) continue;
        size_t i = strlen(key);
        while (i < line.n && (line.p[i] == ' ' || line.p[i] == '\t')) ++i;
        size_t j = i;
        while (j < line.n && line.p[j] >= '0' && line.p[j] <= '9') ++j;
        return whole_number({line.p + i, j - i}, v) ? 1 : 0;
    }
    return 0;
}

int lp_status_uid(const char *text, uint32_t *uid) { return lp_status_number(text, "Uid:", uid); }

int lp_stat_fields(const char *text, char *name, size_t name_size, uint32_t *ppid,
                   uint64_t *start_ticks) {
    const char *open = strchr(text, '(');
    const char *close = strrchr(text, ')');
    if (!open || !close || close < open || name_size == 0) return 0;
    const size_t k = static_cast<size_t>(close - open - 1);
    const size_t kept = k < name_size - 1 ? k : name_size - 1;
    memcpy(name, open + 1, kept);
    name[kept] = '\0';
    // After the name: the state, then the fields from the parent on (the parent is
    // field 4 of the line, the start field 22).
    const char *p = close + 1;
    uint64_t values[20];
    for (int field = 3; field <= 22; ++field) {
        while (*p == ' ') ++p;
        const char *start = p;
        while (*p && *p != ' ' && *p != '\n') ++p;
        if (p == start) return 0;
        if (field < 4) continue;
        uint64_t x = 0;
        for (const char *c = start; c < p; ++c) {
            // Only the two fields read must be numbers; others may be negative.
            if (*c < '0' || *c > '9' || x > (UINT64_MAX - 9) / 10) {
                x = UINT64_MAX;
                break;
            }
            x = x * 10 + static_cast<uint64_t>(*c - '0');
        }
        values[field - 3] = x;
    }
    if (values[1] > 0xffffffffu || values[19] == UINT64_MAX) return 0;
    *ppid = static_cast<uint32_t>(values[1]);
    *start_ticks = values[19];
    return 1;
}

int lp_passwd_name(const char *text, size_t n, uint32_t uid, char *buf, size_t size) {
    size_t at = 0;
    piece line, name, id;
    uint32_t v;
    while (next_line(text, n, &at, &line)) {
        // Comments and NIS markers ("+", "-") name no local account.
        if (line.n && (line.p[0] == '#' || line.p[0] == '+' || line.p[0] == '-')) continue;
        // A name with a NUL in it is none a C string can hold.
        if (field(line, ':', 0, &name) && name.n && !memchr(name.p, '\0', name.n) &&
            field(line, ':', 2, &id) && whole_number(id, &v) && v == uid)
            return copy_piece(name, buf, size) ? 1 : 0;
    }
    return 0;
}

namespace {

// The path of a /proc/PID/cgroup text that names units and containers: its
// "name=systemd" line where it has one (the hybrid hierarchy), else its "0::" line.
bool chosen_path(const char *text, piece *out) {
    const size_t n = strlen(text);
    size_t at = 0;
    piece line, id, controllers;
    piece systemd = {nullptr, 0}, unified = {nullptr, 0};
    while (!systemd.p && next_line(text, n, &at, &line)) {
        // "ID:controllers:path"; the path may hold colons itself.
        if (!field(line, ':', 0, &id) || !field(line, ':', 1, &controllers) ||
            !field(line, ':', 2, &line))
            continue;
        const piece path = {line.p, n - static_cast<size_t>(line.p - text)};
        const char *nl = static_cast<const char *>(memchr(path.p, '\n', path.n));
        const piece whole = {path.p, nl ? static_cast<size_t>(nl - path.p) : path.n};
        if (equals(controllers, "name=systemd"))
            systemd = whole;
        else if (!unified.p && equals(id, "0") && controllers.n == 0)
            unified = whole;
    }
    *out = systemd.p ? systemd : unified;
    return out->p != nullptr;
}

} // namespace

void lp_cgroup_facts(const char *text, char *unit, size_t unit_size, char *container,
                     size_t container_size) {
    if (unit_size) unit[0] = '\0';
    if (container_size) container[0] = '\0';
    piece chosen;
    if (chosen_path(text, &chosen)) path_facts(chosen, unit, unit_size, container, container_size);
}

int lp_cgroup_pod_uid(const char *text, char *uid, size_t size) {
    if (size) uid[0] = '\0';
    piece path;
    if (!chosen_path(text, &path) || size < 37) return 0;
    bool kubepods = false;
    for (size_t at = 0; at < path.n;) {
        const char *slash = static_cast<const char *>(memchr(path.p + at, '/', path.n - at));
        const size_t stop = slash ? static_cast<size_t>(slash - path.p) : path.n;
        piece c = {path.p + at, stop - at};
        at = stop + 1;
        if (starts_with(c, "kubepods")) kubepods = true;
        if (!kubepods) continue;
        // cgroupfs: "pod<uid>"; systemd: "kubepods-<class>-pod<uid, '_' for '-'>.slice".
        if (ends_with(c, ".slice")) c.n -= 6;
        const char *pod = nullptr;
        for (size_t i = 0; i + 3 <= c.n; ++i)
            if (memcmp(c.p + i, "pod", 3) == 0 && (i == 0 || c.p[i - 1] == '-')) pod = c.p + i + 3;
        if (!pod || static_cast<size_t>(c.p + c.n - pod) != 36) continue;
        for (size_t i = 0; i < 36; ++i) {
            char ch = pod[i] == '_' ? '-' : pod[i];
            const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
            if (dash ? ch != '-' : !((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) {
                uid[0] = '\0';
                return 0;
            }
            uid[i] = ch;
        }
        uid[36] = '\0';
        return 1;
    }
    return 0;
}
