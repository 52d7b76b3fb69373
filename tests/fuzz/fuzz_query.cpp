// Query decoding: no write outside the caller's buffer, and the result agrees with a
// plain reading of the rules. Input: one byte of buffer size, the name, NUL, the query.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "query.h"

static int hex(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The same rules written the long way, over std::string.
static int reference(const std::string &q, const std::string &name, size_t size, std::string &out) {
    out.clear();
    size_t seg = 0;
    bool found = false;
    while (!q.empty()) {
        if (q.compare(seg, name.size(), name) == 0 && seg + name.size() < q.size() &&
            q[seg + name.size()] == '=') {
            found = true;
            break;
        }
        size_t amp = q.find('&', seg);
        if (amp == std::string::npos || amp + 1 >= q.size()) break;
        seg = amp + 1;
    }
    if (!found) return 0;
    std::string raw = q.substr(seg + name.size() + 1);
    raw = raw.substr(0, raw.find('&'));
    if (raw.size() > size - 1) raw.resize(size - 1);
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '+') {
            out += ' ';
        } else if (raw[i] == '%' && i + 2 < raw.size() && hex(raw[i + 1]) >= 0 &&
                   hex(raw[i + 2]) >= 0) {
            out += static_cast<char>(hex(raw[i + 1]) * 16 + hex(raw[i + 2]));
            i += 2;
        } else {
            out += raw[i];
        }
    }
    out = out.substr(0, out.find('\0'));
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const size_t bufsize = 2 + data[0] % 80;
    const char *rest = reinterpret_cast<const char *>(data + 1);
    const size_t rest_len = size - 1;
    const char *nul = static_cast<const char *>(memchr(rest, 0, rest_len));
    if (!nul || nul == rest) return 0;
    const std::string name(rest, nul);
    std::string query(nul + 1, rest + rest_len);
    query = query.substr(0, query.find('\0'));

    // An exact-size heap buffer, so a write one past its end is caught.
    char *buf = static_cast<char *>(malloc(bufsize));
    const int found = get_query_val(query.c_str(), name.c_str(), buf, bufsize);
    std::string want;
    const int want_found = reference(query, name, bufsize, want);
    if (found != want_found || want != buf) abort();
    free(buf);
    return 0;
}
