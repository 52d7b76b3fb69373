#include "platform/windows/table_fetch.h"

#include <cstdlib>

uint32_t table_room(uint32_t need) {
    // A quarter more, and at least 4 KiB (some 70 rows of the widest kind).
    const uint64_t room = uint64_t{need} + need / 4 + 4096;
    return room > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(room);
}

void *table_fetch(table_call_fn call, void *ctx, uint32_t *size) {
    // need is 0 until the size query has answered. The calls: the size query, the
    // first fetch, then the retries.
    uint32_t need = 0;
    for (int call_no = 0; call_no < 2 + TABLE_FETCH_RETRIES; ++call_no) {
        const uint32_t room = need ? table_room(need) : 0;
        void *buf = room ? malloc(room) : nullptr;
        if (room && !buf) return nullptr;
        uint32_t got = room;
        const uint32_t rc = call(buf, &got, ctx);
        if (rc == TABLE_OK && buf) {
            *size = room;
            return buf;
        }
        free(buf);
        // A table that grew past the buffer answers 122 again with its new size;
        // dropping the pass would lose every endpoint of this kind from an answer that
        // still reports success.
        if (rc == TABLE_INSUFFICIENT_BUFFER && got > 0) {
            need = got > need ? got : room;
            continue;
        }
        if (rc != TABLE_UNSUCCESSFUL) return nullptr;
    }
    return nullptr;
}
