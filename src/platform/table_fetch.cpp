#include "table_fetch.h"

#include <cstdlib>

void *table_fetch(table_call_fn call, void *ctx, uint32_t *size) {
    uint32_t need = 0;
    if (call(nullptr, &need, ctx) != TABLE_INSUFFICIENT_BUFFER || need == 0) return nullptr;
    // A table that grew since the size query answers 122 again with its new size.
    // Dropping the pass then would lose every endpoint of this kind from an answer
    // that still reports success, so the fetch is tried again with the new size.
    for (int attempt = 0; attempt <= TABLE_FETCH_RETRIES; ++attempt) {
        void *buf = malloc(need);
        if (!buf) return nullptr;
        uint32_t got = need;
        const uint32_t rc = call(buf, &got, ctx);
        if (rc == TABLE_OK) {
            *size = need;
            return buf;
        }
        free(buf);
        if (rc != TABLE_INSUFFICIENT_BUFFER || got <= need) return nullptr;
        need = got;
    }
    return nullptr;
}
