#include "query.h"

#include <cstring>

static int hex_val(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte that the text at v[*r] (of n bytes) stands for, and *r moved past it:
// '+' is a blank, %XX a byte, a '%' without two hex digits stays literal.
static char decode_step(const char *v, size_t n, size_t *r) {
    const char c = v[*r];
    if (c == '+') {
        ++*r;
        return ' ';
    }
    if (c == '%' && *r + 2 < n && hex_val(v[*r + 1]) >= 0 && hex_val(v[*r + 2]) >= 0) {
        *r += 3;
        return static_cast<char>(hex_val(v[*r - 2]) * 16 + hex_val(v[*r - 1]));
    }
    ++*r;
    return c;
}

// The raw value of the parameter `name`, or null; *len is its length.
static const char *find_raw(const char *query, const char *name, size_t *len) {
    if (!query || !*query) return nullptr;
    const size_t name_len = strlen(name);
    const char *p = query;
    for (;;) {
        if (strncmp(p, name, name_len) == 0 && p[name_len] == '=') break;
        const char *amp = strchr(p, '&');
        if (!amp || amp[1] == '\0') return nullptr;
        p = amp + 1;
    }
    const char *v = p + name_len + 1;
    *len = strcspn(v, "&");
    return v;
}

int get_query_val(const char *query, const char *name, char *buf, size_t size) {
    buf[0] = '\0';
    size_t n;
    const char *v = find_raw(query, name, &n);
    if (!v) return 0;
    if (n > size - 1) n = size - 1;
    // Cut first, then decoded in place: a text never grows by decoding.
    memcpy(buf, v, n);
    size_t w = 0;
    for (size_t r = 0; r < n;) buf[w++] = decode_step(buf, n, &r);
    buf[w] = '\0';
    return 1;
}

int get_query_whole(const char *query, const char *name, char *buf, size_t size) {
    buf[0] = '\0';
    size_t n;
    const char *v = find_raw(query, name, &n);
    if (!v) return 0;
    // Decoded straight from the query: a raw value longer than the buffer may still
    // decode short enough to fit.
    size_t w = 0;
    for (size_t r = 0; r < n;) {
        const char c = decode_step(v, n, &r);
        if (c == '\0' || w + 1 >= size) {
            buf[0] = '\0';
            return -1;
        }
        buf[w++] = c;
    }
    buf[w] = '\0';
    return 1;
}

int text_to_int32(const char *s, int32_t *out) {
    *out = 0;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    const bool negative = *s == '-';
    if (*s == '+' || *s == '-') ++s;
    int64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > 2147483648LL) return -1; // stop before the digits can overflow v
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return -1;
    *out = static_cast<int32_t>(v);
    return 0;
}
