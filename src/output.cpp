#include "output.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

void out_bytes(const char *s, size_t n) {
    if (n) fwrite(s, 1, n, stdout);
}

void out_text(const char *s) { out_bytes(s, strlen(s)); }

void out_int(int32_t v) { printf("%d", static_cast<int>(v)); }

void out_ms(int32_t v) { printf("%ld", static_cast<long>(v)); }

void out_bool(int32_t flag) { printf("%s", flag ? "true" : "false"); }

void out_i64(int64_t v) { printf("%lld", static_cast<long long>(v)); }

// Writes text escaped as inside a JSON string, with the opening and the closing quote
// when asked.
static void json_piece(const char *text, bool open, bool close) {
    static const char hex[] = "0123456789abcdef";
    // Escapes are assembled in a small local buffer so a long plain run costs one write.
    char buf[256];
    size_t n = 0;
    if (open) buf[n++] = '"';
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (n > sizeof buf - 8) {
            out_bytes(buf, n);
            n = 0;
        }
        unsigned char c = *p;
        switch (c) {
        case '\t':
            buf[n++] = '\\';
            buf[n++] = 't';
            break;
        case '\n':
            buf[n++] = '\\';
            buf[n++] = 'n';
            break;
        case '\r':
            buf[n++] = '\\';
            buf[n++] = 'r';
            break;
        case '"':
            buf[n++] = '\\';
            buf[n++] = '"';
            break;
        case '\\':
            buf[n++] = '\\';
            buf[n++] = '\\';
            break;
        default:
            if (c < 32) {
                memcpy(buf + n, "\\u00", 4);
                buf[n + 4] = hex[c >> 4];
                buf[n + 5] = hex[c & 15];
                n += 6;
            } else {
                buf[n++] = static_cast<char>(c);
            }
        }
    }
    if (close) buf[n++] = '"';
    out_bytes(buf, n);
}

void json_str(const char *text) { json_piece(text, true, true); }

// Length of the well-formed sequence at s, or 0 when s starts an ill-formed one; then
// *bad is the number of bytes that one U+FFFD stands for.
static size_t utf8_seq(const unsigned char *s, size_t *bad) {
    const unsigned c = s[0];
    size_t need;
    unsigned lo = 0x80, hi = 0xbf;
    if (c < 0x80) return 1;
    if (c >= 0xc2 && c <= 0xdf) {
        need = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
        need = 2;
        if (c == 0xe0) lo = 0xa0; // overlong
        if (c == 0xed) hi = 0x9f; // surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        need = 3;
        if (c == 0xf0) lo = 0x90; // overlong
        if (c == 0xf4) hi = 0x8f; // above U+10FFFF
    } else {
        *bad = 1;
        return 0;
    }
    for (size_t k = 1; k <= need; ++k) {
        // The terminator fails this test too, so nothing past it is read.
        if (s[k] < lo || s[k] > hi) {
            *bad = k;
            return 0;
        }
        lo = 0x80;
        hi = 0xbf;
    }
    return need + 1;
}

// utf8_copy, telling how many bytes of src it took.
static size_t utf8_take(char *dst, size_t cap, const char *src) {
    static const char replacement[] = "\xef\xbf\xbd";
    const unsigned char *s = reinterpret_cast<const unsigned char *>(src);
    size_t n = 0;
    while (*s) {
        size_t bad = 0;
        const size_t len = utf8_seq(s, &bad);
        const char *from = len ? reinterpret_cast<const char *>(s) : replacement;
        const size_t out = len ? len : sizeof replacement - 1;
        if (n + out > cap - 1) break;
        memcpy(dst + n, from, out);
        n += out;
        s += len ? len : bad;
    }
    dst[n] = '\0';
    return static_cast<size_t>(reinterpret_cast<const char *>(s) - src);
}

void utf8_copy(char *dst, size_t cap, const char *src) { utf8_take(dst, cap, src); }

void json_utf8(const char *text) {
    char piece[256];
    bool first = true;
    do {
        text += utf8_take(piece, sizeof piece, text);
        json_piece(piece, first, !*text);
        first = false;
    } while (*text);
}

int64_t now_ms() { return static_cast<int64_t>(plat_clock_ms()); }

void out_flush() { fflush(stdout); }
