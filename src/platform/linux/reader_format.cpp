// The output of ports-reader: its encoding and its parser, pure functions.
#include "platform/linux/reader_format.h"

#include <cstring>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool plain(unsigned char c) { return c > ' ' && c < 0x7f && c != '%'; }

// A decimal number of at most 20 digits without a leading zero, up to max.
bool number(const char *p, size_t n, uint64_t max, uint64_t *out) {
    if (n == 0 || n > 20 || (n > 1 && p[0] == '0')) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        const uint64_t d = static_cast<uint64_t>(p[i] - '0');
        if (d > max || v > (max - d) / 10) return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

// Decodes a percent-encoded field in place; its decoded length, or -1 when malformed.
long decode(char *p, size_t n) {
    size_t w = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c != '%') {
            if (!plain(c)) return -1;
            p[w++] = static_cast<char>(c);
            continue;
        }
        if (n - i < 3) return -1;
        const int hi = hex_value(p[i + 1]), lo = hex_value(p[i + 2]);
        // Only what must be encoded is: one spelling for each text, and no NUL.
        const int byte = hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
        if (byte <= 0 || plain(static_cast<unsigned char>(byte))) return -1;
        p[w++] = static_cast<char>(byte);
        i += 2;
    }
    if (w > READER_MAX_TEXT) return -1;
    p[w] = '\0';
    return static_cast<long>(w);
}

// The shape of each kind: how many numbers, and whether a text ends it.
struct shape {
    char kind;
    int numbers;
    bool text;
    uint64_t max[4];
};
const uint64_t U32 = 0xffffffffu;
const shape k_shapes[] = {
    {'o', 4, false, {U32, U32, U32, U32}},
    {'n', 1, true, {U32}},
    {'m', 2, false, {UINT64_MAX, UINT64_MAX}},
    {'e', 2, true, {2, 2}},
    {'c', 1, true, {2}},
    {'k', 1, false, {2}},
    {'a', 0, true, {}},
    {'h', 1, false, {1}},
    {'s', 1, false, {U32}},
};

// One record's line (without its line feed, p[n] writable); false when malformed.
bool record(char *p, size_t n, reader_record_fn fn, void *ctx) {
    reader_record r;
    memset(&r, 0, sizeof r);
    if (n == 8 && memcmp(p, "x owners", 8) == 0) {
        r.kind = 'x';
        fn(&r, ctx);
        return true;
    }
    if (n < 2 || p[1] != ' ') return false;
    const shape *s = nullptr;
    for (const shape &k : k_shapes)
        if (k.kind == p[0]) s = &k;
    if (!s) return false;
    r.kind = s->kind;
    size_t at = 2;
    for (int i = 0; i < s->numbers; ++i) {
        const char *end = static_cast<const char *>(memchr(p + at, ' ', n - at));
        const bool last = i == s->numbers - 1 && !s->text;
        const size_t field = last ? n - at : end ? static_cast<size_t>(end - (p + at)) : n - at;
        if (!last && !end) return false;
        if (!number(p + at, field, s->max[i], &r.num[i])) return false;
        at += field + (last ? 0 : 1);
    }
    r.count = s->numbers;
    if (s->text) {
        if (at > n) return false;
        const long len = decode(p + at, n - at);
        if (len < 0 || (len == 0 && s->kind != 'a')) return false;
        r.text = p + at;
        r.len = static_cast<size_t>(len);
    } else if (at != n) {
        return false;
    }
    fn(&r, ctx);
    return true;
}

} // namespace

int reader_parse(char *data, size_t len, reader_record_fn fn, void *ctx) {
    static const char head[] = "ports-reader 1\n";
    const size_t head_len = sizeof head - 1;
    if (len < head_len || len > READER_MAX_OUTPUT || memcmp(data, head, head_len) != 0) return -1;
    uint64_t records = 0;
    for (size_t at = head_len; at < len;) {
        char *line = data + at;
        char *nl = static_cast<char *>(memchr(line, '\n', len - at));
        if (!nl) return -1; // cut short
        const size_t n = static_cast<size_t>(nl - line);
        at += n + 1;
        if (n >= 4 && memcmp(line, "end ", 4) == 0) {
            uint64_t said;
            // The end says how many came, and nothing follows it.
            return number(line + 4, n - 4, UINT64_MAX, &said) && said == records && at == len
                       ? 0
                       : -1;
        }
        *nl = '\0';
        if (!record(line, n, fn, ctx)) return -1;
        ++records;
    }
    return -1; // no end: cut short
}

size_t reader_encode(const char *text, size_t len, char *out) {
    static const char hex[] = "0123456789ABCDEF";
    size_t w = 0;
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (plain(c)) {
            out[w++] = static_cast<char>(c);
        } else {
            out[w++] = '%';
            out[w++] = hex[c >> 4];
            out[w++] = hex[c & 15];
        }
    }
    out[w] = '\0';
    return w;
}
