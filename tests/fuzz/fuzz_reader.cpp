// The parser of ports-reader's output over arbitrary bytes: the reader runs with rights
// the program lacks, and what it writes is read as untrusted all the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/linux/reader_format.h"

namespace {

// Every record handed over, re-encoded: an accepted output must read back the same.
struct echo {
    char *buf;
    size_t len;
    size_t records;
};

void take(const reader_record *r, void *ctx) {
    echo &e = *static_cast<echo *>(ctx);
    if (r->text && (strlen(r->text) != r->len || r->len > READER_MAX_TEXT)) abort();
    ++e.records;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy: the parser may not read past the length it is given.
    char *text = static_cast<char *>(malloc(size ? size : 1));
    memcpy(text, data, size);
    echo e = {};
    const int rc = reader_parse(text, size, take, &e);
    if (rc == 0 && size < 16) abort(); // the header and an end are at least that long
    free(text);

    // Any bytes encode to a text that decodes back to them.
    if (size <= 4096) {
        char *encoded = static_cast<char *>(malloc(3 * size + 1));
        const size_t n = reader_encode(reinterpret_cast<const char *>(data), size, encoded);
        for (size_t i = 0; i < n; ++i)
            if (encoded[i] <= ' ' || encoded[i] >= 0x7f) abort();
        free(encoded);
    }
    return 0;
}
