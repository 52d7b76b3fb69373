#include "linux_walks.h"

#include <cstdlib>

namespace {

struct placed {
    uint32_t inode;
    uint32_t at;
};

int by_inode(const void *a, const void *b) {
    const uint32_t x = static_cast<const placed *>(a)->inode;
    const uint32_t y = static_cast<const placed *>(b)->inode;
    return x < y ? -1 : x > y;
}

const uint32_t NO_NODE = 0xffffffffu;

} // namespace

int lt_pieces_cover(const uint32_t *inodes, const lt_piece *pieces, size_t n) {
    // A read that came in one piece walked the whole table at once.
    const unsigned whole = LT_PIECE_FIRST | LT_PIECE_TO_END;
    for (size_t i = 0; i < n; ++i)
        if ((pieces[i].flags & whole) == whole) return 1;
    const size_t total = n ? pieces[n - 1].end : 0;
    if (total == 0 || total >= NO_NODE) return 0;
    // Each socket becomes one node, whichever pieces list it.
    placed *order = static_cast<placed *>(malloc(total * sizeof *order));
    uint32_t *node = static_cast<uint32_t *>(malloc(total * sizeof *node));
    unsigned char *reached = static_cast<unsigned char *>(calloc(total, 1));
    int covered = -1;
    if (order && node && reached) {
        for (size_t i = 0; i < total; ++i) order[i] = {inodes[i], static_cast<uint32_t>(i)};
        qsort(order, total, sizeof *order, by_inode);
        uint32_t nodes = 0;
        for (size_t i = 0; i < total; ++i) {
            if (order[i].inode == 0) {
                node[order[i].at] = NO_NODE;
                continue;
            }
            if (i > 0 && order[i].inode != order[i - 1].inode) ++nodes;
            node[order[i].at] = nodes;
        }
        // From the start, every socket of a first piece is reached; then each piece
        // carries the reach from the first socket of it already reached to its end,
        // until a last piece that ran to the table's end is reached, or nothing changes.
        for (size_t p = 0, from = 0; p < n; from = pieces[p++].end)
            if (pieces[p].flags & LT_PIECE_FIRST)
                for (size_t i = from; i < pieces[p].end; ++i)
                    if (node[i] != NO_NODE) reached[node[i]] = 1;
        covered = 0;
        for (bool grew = true; grew && !covered;) {
            grew = false;
            for (size_t p = 0, from = 0; p < n && !covered; from = pieces[p++].end) {
                size_t i = from;
                while (i < pieces[p].end && (node[i] == NO_NODE || !reached[node[i]])) ++i;
                if (i == pieces[p].end) continue;
                if (pieces[p].flags & LT_PIECE_TO_END) covered = 1;
                for (; i < pieces[p].end; ++i)
                    if (node[i] != NO_NODE && !reached[node[i]]) {
                        reached[node[i]] = 1;
                        grew = true;
                    }
            }
        }
    }
    free(order);
    free(node);
    free(reached);
    return covered;
}

bool lt_piece_reached_end(size_t bytes, size_t entry_max, size_t small_lo, size_t small_hi,
                          size_t big_lo) {
    if (bytes + entry_max <= small_lo) return true;
    // Larger than the small room could ever be: the piece had the large one.
    return bytes > small_hi && bytes + entry_max <= big_lo;
}

namespace {

// Room for at least one more element of `size` bytes in *items (of *cap); false when it
// cannot be had.
bool room_for_one(lt_walk_log *log, void **items, size_t *cap, size_t count, size_t size) {
    if (count < *cap) return true;
    const size_t more = *cap ? *cap * 2 : 256;
    void *grown = log->grow(*items, more * size);
    if (!grown) return false;
    *items = grown;
    *cap = more;
    return true;
}

} // namespace

void lt_log_entry(lt_walk_log *log, uint32_t inode) {
    void *items = log->inodes;
    if (log->lost || !room_for_one(log, &items, &log->cap, log->count, sizeof *log->inodes)) {
        log->lost = 1;
        return;
    }
    log->inodes = static_cast<uint32_t *>(items);
    log->inodes[log->count++] = inode;
}

void lt_log_piece(lt_walk_log *log, unsigned flags) {
    void *items = log->pieces;
    if (log->lost ||
        !room_for_one(log, &items, &log->pieces_cap, log->n_pieces, sizeof *log->pieces)) {
        log->lost = 1;
        return;
    }
    log->pieces = static_cast<lt_piece *>(items);
    log->pieces[log->n_pieces++] = {log->count, flags};
}

void lt_log_to_end(lt_walk_log *log) {
    if (!log->lost && log->n_pieces > 0) log->pieces[log->n_pieces - 1].flags |= LT_PIECE_TO_END;
}

int lt_log_covers(const lt_walk_log *log) {
    return log->lost ? 0 : lt_pieces_cover(log->inodes, log->pieces, log->n_pieces);
}

void lt_log_clear(lt_walk_log *log) {
    log->count = 0;
    log->n_pieces = 0;
    log->lost = 0;
}
