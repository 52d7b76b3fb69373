#include "row_groups.h"

#include <cstring>

#include "listeners.h"

namespace {

// Open addressing at most half full: a key is found in a probe or two.
enum { SLOTS = 2 * MAX_ROWS };
int16_t g_slot[SLOTS];

} // namespace

void group_rows(int count, bool (*keep)(int row), row_hash_fn hash, row_same_fn same,
                int16_t *head) {
    memset(g_slot, 0xff, sizeof g_slot); // every slot -1: free
    for (int i = 0; i < count; ++i) {
        head[i] = -1;
        if (!keep(i)) continue;
        size_t at = hash(i) % SLOTS;
        while (g_slot[at] >= 0 && !same(g_slot[at], i)) at = (at + 1) % SLOTS;
        if (g_slot[at] < 0) g_slot[at] = static_cast<int16_t>(i);
        head[i] = g_slot[at];
    }
}

namespace {
const uint64_t FNV_PRIME = 1099511628211ull;
}

uint64_t hash_int(uint64_t h, int32_t v) {
    for (int k = 0; k < 4; ++k)
        h = (h ^ ((static_cast<uint32_t>(v) >> (8 * k)) & 0xff)) * FNV_PRIME;
    return h;
}

uint64_t hash_text(uint64_t h, const char *text) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    do {
        h = (h ^ *p) * FNV_PRIME;
    } while (*p++);
    return h;
}
