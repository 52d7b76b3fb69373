// JSON string writing: the output is one well-formed JSON string that decodes back
// to exactly the input bytes. The cleaning of names (utf8_copy): its output is valid
// UTF-8 that fits, and valid input that fits comes out unchanged.
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

// Length of the valid UTF-8 at the start of s (by code point ranges, apart from the
// program's own reading), 0 when s starts with no valid character.
static size_t valid_char(const unsigned char *s, size_t n) {
    if (s[0] < 0x80) return 1;
    size_t len;
    uint32_t cp;
    if ((s[0] & 0xe0) == 0xc0) len = 2, cp = s[0] & 0x1f;
    else if ((s[0] & 0xf0) == 0xe0) len = 3, cp = s[0] & 0x0f;
    else if ((s[0] & 0xf8) == 0xf0) len = 4, cp = s[0] & 0x07;
    else return 0;
    if (len > n) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((s[k] & 0xc0) != 0x80) return 0;
        cp = cp << 6 | (s[k] & 0x3f);
    }
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return len;
}

static bool valid_utf8(const std::string &t) {
    const unsigned char *s = reinterpret_cast<const unsigned char *>(t.data());
    for (size_t i = 0, k; i < t.size(); i += k)
        if (!(k = valid_char(s + i, t.size() - i))) return false;
    return true;
}

static void check_utf8_copy(const std::string &in, size_t cap) {
    std::string out(cap + 8, 'X');
    utf8_copy(&out[0], cap, in.c_str());
    const size_t n = strlen(out.c_str());
    if (n > cap - 1) abort();
    out.resize(n);
    if (!valid_utf8(out)) abort();
    if (valid_utf8(in) && in.size() <= cap - 1 && out != in) abort();
    // Valid input is cut between characters: what comes out is where it began.
    if (valid_utf8(in) && in.compare(0, n, out) != 0) abort();
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
    check_utf8_copy(in, 1 + (size ? data[0] % 128 : 0));
    check_utf8_copy(in, 96);
    return 0;
}
