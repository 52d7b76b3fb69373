#include "platform/windows/name_join.h"

#include <cstdlib>
#include <cstring>

namespace {

unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

int by_name(const void *a, const void *b) {
    return name_order(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
}

} // namespace

int name_order(const char *a, const char *b) {
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    size_t i = 0;
    while (x[i] && lower(x[i]) == lower(y[i])) ++i;
    if (lower(x[i]) != lower(y[i])) return lower(x[i]) < lower(y[i]) ? -1 : 1;
    // Equal but for case: the bytes decide, so the order never depends on the input's.
    const int c = strcmp(reinterpret_cast<const char *>(x), reinterpret_cast<const char *>(y));
    return c < 0 ? -1 : c > 0;
}

size_t join_names(const char **names, size_t n, char *buf, size_t size) {
    if (size == 0) return 0;
    buf[0] = '\0';
    if (n > 1) qsort(names, n, sizeof *names, by_name);
    size_t used = 0, joined = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t len = strlen(names[i]);
        const size_t need = len + (joined ? 1 : 0);
        if (used + need >= size) break;
        if (joined) buf[used++] = ',';
        memcpy(buf + used, names[i], len);
        used += len;
        buf[used] = '\0';
        ++joined;
    }
    return joined;
}

void cut_name(const char *name, char *buf, size_t size) {
    if (size == 0) return;
    size_t n = strlen(name);
    if (n >= size) {
        n = size - 1;
        // Back to the first byte of the character that did not fit.
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
    }
    memcpy(buf, name, n);
    buf[n] = '\0';
}
