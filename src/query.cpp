#include "query.h"

#include <cstring>

static int hex_val(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// In place: '+' is a blank, %XX a byte, a '%' without two hex digits stays literal.
static void url_decode(char *s) {
    char *w = s;
    for (const char *r = s; *r;) {
        if (*r == '+') {
            *w++ = ' ';
            ++r;
        } else if (*r == '%' && hex_val(r[1]) >= 0 && hex_val(r[2]) >= 0) {
            *w++ = static_cast<char>(hex_val(r[1]) * 16 + hex_val(r[2]));
            r += 3;
        } else {
            *w++ = *r++;
        }
    }
    *w = '\0';
}

int get_query_val(const char *query, const char *name, char *buf, size_t size) {
    buf[0] = '\0';
    if (!query || !*query) return 0;
    const size_t name_len = strlen(name);
    const char *p = query;
    for (;;) {
        if (strncmp(p, name, name_len) == 0 && p[name_len] == '=') break;
        const char *amp = strchr(p, '&');
        if (!amp || amp[1] == '\0') return 0;
        p = amp + 1;
    }
    const char *v = p + name_len + 1;
    size_t n = 0;
    while (n + 1 < size && v[n] && v[n] != '&') ++n;
    memcpy(buf, v, n);
    buf[n] = '\0';
    url_decode(buf);
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
