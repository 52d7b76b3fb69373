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

void json_str(const char *text) {
    static const char hex[] = "0123456789abcdef";
    // Escapes are assembled in a small local buffer so a long plain run costs one write.
    char buf[256];
    size_t n = 0;
    buf[n++] = '"';
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
    buf[n++] = '"';
    out_bytes(buf, n);
}

int64_t now_ms() { return static_cast<int64_t>(plat_clock_ms()); }

void out_flush() { fflush(stdout); }
