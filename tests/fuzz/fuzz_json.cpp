// JSON string writing: the output is one well-formed JSON string that decodes back
// to exactly the input bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "output.h"

static char *g_buf;
static size_t g_len;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The writer streams to stdout; point stdout at memory for the checks.
    stdout = open_memstream(&g_buf, &g_len);
    return 0;
}

static int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string in(reinterpret_cast<const char *>(data), size);
    in = in.substr(0, in.find('\0'));
    rewind(stdout);
    json_str(in.c_str());
    fflush(stdout);
    const std::string out(g_buf, g_len);

    if (out.size() < 2 || out.front() != '"' || out.back() != '"') abort();
    std::string back;
    for (size_t i = 1; i + 1 < out.size(); ++i) {
        const unsigned char c = out[i];
        if (c < 32 || c == '"') abort(); // raw control bytes and quotes never appear
        if (c != '\\') {
            back += static_cast<char>(c);
            continue;
        }
        if (++i + 1 >= out.size()) abort();
        switch (out[i]) {
        case 't': back += '\t'; break;
        case 'n': back += '\n'; break;
        case 'r': back += '\r'; break;
        case '"': back += '"'; break;
        case '\\': back += '\\'; break;
        case 'u': {
            if (i + 4 >= out.size() - 1 || out.compare(i + 1, 2, "00") != 0) abort();
            const int hi = hexval(out[i + 3]), lo = hexval(out[i + 4]);
            if (hi < 0 || lo < 0 || hi * 16 + lo >= 32) abort();
            back += static_cast<char>(hi * 16 + lo);
            i += 4;
            break;
        }
        default: abort();
        }
    }
    if (back != in) abort();
    return 0;
}
