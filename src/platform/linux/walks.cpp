#include "platform/linux/walks.h"

#include <cstdlib>
#include <cstring>

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

int by_value(const void *a, const void *b) {
    const uint32_t x = *static_cast<const uint32_t *>(a), y = *static_cast<const uint32_t *>(b);
    return x < y ? -1 : x > y;
}

// Numbers the sockets of `total` entries: node[i] is the same for every entry of one
// inode, NO_NODE for entries without one. The number of sockets; NO_NODE without memory.
uint32_t number_sockets(const uint32_t *inodes, size_t total, uint32_t *node) {
    placed *order = static_cast<placed *>(malloc(total * sizeof *order));
    if (!order) return NO_NODE;
    for (size_t i = 0; i < total; ++i) order[i] = {inodes[i], static_cast<uint32_t>(i)};
    qsort(order, total, sizeof *order, by_inode);
    uint32_t nodes = 0;
    for (size_t i = 0; i < total; ++i) {
        if (order[i].inode == 0) {
            node[order[i].at] = NO_NODE;
            continue;
        }
        if (i > 0 && order[i].inode == order[i - 1].inode)
            node[order[i].at] = nodes - 1;
        else
            node[order[i].at] = nodes++;
    }
    free(order);
    return nodes;
}

} // namespace

int lt_pieces_cover(const uint32_t *inodes, const lt_piece *pieces, size_t n) {
    // A read that came in one piece walked the whole table at once.
    const unsigned whole = LT_PIECE_FIRST | LT_PIECE_TO_END;
    for (size_t i = 0; i < n; ++i)
        if ((pieces[i].flags & whole) == whole) return 1;
    const size_t total = n ? pieces[n - 1].end : 0;
    if (total == 0 || total >= NO_NODE) return 0;
    // Each socket becomes one node, whichever pieces list it.
    uint32_t *node = static_cast<uint32_t *>(malloc(total * sizeof *node));
    unsigned char *reached = static_cast<unsigned char *>(calloc(total, 1));
    int covered = -1;
    if (node && reached && number_sockets(inodes, total, node) != NO_NODE) {
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
    free(node);
    free(reached);
    return covered;
}

namespace {

// The stretches of the pieces after the one being judged: sockets joined when a piece
// lists them both, with the flags of the pieces that joined them.
struct stretches {
    uint32_t *parent;
    unsigned char *flags;
    bool whole; // one stretch runs from the table's start to its end

    uint32_t find(uint32_t x) const {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    }

    // Joins every socket of one piece into one stretch.
    void add(const uint32_t *node, size_t from, size_t end, unsigned piece_flags) {
        uint32_t root = NO_NODE;
        for (size_t i = from; i < end; ++i) {
            if (node[i] == NO_NODE) continue;
            const uint32_t r = find(node[i]);
            if (root == NO_NODE) {
                root = r;
            } else if (r != root) {
                parent[r] = root;
                flags[root] = static_cast<unsigned char>(flags[root] | flags[r]);
            }
        }
        if (root == NO_NODE) return;
        flags[root] = static_cast<unsigned char>(flags[root] | piece_flags);
        const unsigned both = LT_PIECE_FIRST | LT_PIECE_TO_END;
        if ((flags[root] & both) == both) whole = true;
    }
};

// A socket open for the whole of a piece's walk that the piece did not list lies beyond
// it: after it, when the walk began at the table's start; before it, when it went on to
// the end. So every socket of such a piece lies between the table's start (or end) and
// that socket, and a later stretch from the start (to the end) that lists it covers
// them all. Whether one does, for piece t (entries from..end); seen is scratch.
bool beside(const stretches &later, const uint32_t *node, uint32_t nodes, const uint32_t *first,
            const uint32_t *last, uint32_t *seen, size_t t, size_t from, size_t end,
            unsigned piece_flags) {
    const unsigned side = piece_flags & (LT_PIECE_FIRST | LT_PIECE_TO_END);
    if (side == 0 || side == (LT_PIECE_FIRST | LT_PIECE_TO_END)) return false;
    const uint32_t mark = NO_NODE - 1;
    for (size_t i = from; i < end; ++i)
        if (node[i] != NO_NODE) seen[node[i]] = mark;
    bool found = false;
    for (uint32_t k = 0; k < nodes && !found; ++k)
        found = first[k] < t && last[k] > t && seen[k] != mark && later.flags[later.find(k)] & side;
    for (size_t i = from; i < end; ++i)
        if (node[i] != NO_NODE) seen[node[i]] = NO_NODE;
    return found;
}

} // namespace

int lt_pieces_gone(const uint32_t *inodes, const lt_piece *pieces, size_t n, unsigned char *gone) {
    const size_t total = n ? pieces[n - 1].end : 0;
    if (total == 0) return 0;
    if (total >= NO_NODE) return -1;
    // Per entry: its socket. Per socket: the last piece listing it, its stretch, and
    // while one piece is judged, the first and last entry of it in that piece.
    uint32_t *node = static_cast<uint32_t *>(malloc(total * sizeof *node));
    uint32_t *first = static_cast<uint32_t *>(malloc(total * sizeof *first));
    uint32_t *last = static_cast<uint32_t *>(malloc(total * sizeof *last));
    uint32_t *parent = static_cast<uint32_t *>(malloc(total * sizeof *parent));
    uint32_t *seen = static_cast<uint32_t *>(malloc(total * sizeof *seen));
    uint32_t *first_at = static_cast<uint32_t *>(malloc(total * sizeof *first_at));
    uint32_t *last_at = static_cast<uint32_t *>(malloc(total * sizeof *last_at));
    unsigned char *flags = static_cast<unsigned char *>(calloc(total, 1));
    unsigned char *closed = static_cast<unsigned char *>(calloc(total, 1));
    // Entries of the piece judged that a stretch covers: +1 where a covered run starts,
    // -1 past its end.
    int *cover = static_cast<int *>(calloc(total + 1, sizeof *cover));
    uint32_t nodes = NO_NODE;
    if (node && first && last && parent && seen && first_at && last_at && flags && closed && cover)
        nodes = number_sockets(inodes, total, node);
    if (nodes != NO_NODE) {
        for (uint32_t k = 0; k < nodes; ++k) {
            parent[k] = k;
            seen[k] = first[k] = NO_NODE;
        }
        for (size_t p = 0, from = 0; p < n; from = pieces[p++].end)
            for (size_t i = from; i < pieces[p].end; ++i) {
                if (node[i] == NO_NODE) continue;
                if (first[node[i]] == NO_NODE) first[node[i]] = static_cast<uint32_t>(p);
                last[node[i]] = static_cast<uint32_t>(p);
            }
        stretches later = {parent, flags, false};
        // From the last piece back: when piece t is judged, the stretches hold the
        // pieces after it.
        for (size_t t = n; t-- > 0;) {
            const size_t from = t ? pieces[t - 1].end : 0, end = pieces[t].end;
            const bool all_covered = later.whole || beside(later, node, nodes, first, last, seen, t,
                                                           from, end, pieces[t].flags);
            // Where each stretch that t shares sockets with first and last meets t.
            uint32_t touched = 0;
            for (size_t i = from; i < end; ++i) {
                if (node[i] == NO_NODE || last[node[i]] == t) continue;
                const uint32_t r = later.find(node[i]);
                if (seen[r] != t) {
                    seen[r] = static_cast<uint32_t>(t);
                    first_at[r] = static_cast<uint32_t>(i);
                    ++touched;
                }
                last_at[r] = static_cast<uint32_t>(i);
            }
            // A stretch covers the entries of t between a socket it lists before them and
            // one it lists after them; its start or end stands in for either.
            if (all_covered) {
                ++cover[from];
                --cover[end];
            }
            for (size_t i = from; touched && i < end; ++i) {
                if (node[i] == NO_NODE || last[node[i]] == t) continue;
                const uint32_t r = later.find(node[i]);
                if (seen[r] != t) continue;
                seen[r] = NO_NODE; // once per stretch
                --touched;
                const size_t lo = flags[r] & LT_PIECE_FIRST ? from : first_at[r] + 1;
                const size_t hi = flags[r] & LT_PIECE_TO_END ? end : last_at[r];
                if (lo < hi) {
                    ++cover[lo];
                    --cover[hi];
                }
            }
            int depth = 0;
            for (size_t i = from; i < end; ++i) {
                depth += cover[i];
                cover[i] = 0;
                if (depth > 0 && node[i] != NO_NODE && last[node[i]] == t) closed[node[i]] = 1;
            }
            cover[end] = 0;
            later.add(node, from, end, pieces[t].flags);
        }
        for (size_t i = 0; i < total; ++i)
            if (node[i] != NO_NODE && closed[node[i]]) gone[i] = 1;
    }
    free(node);
    free(first);
    free(last);
    free(parent);
    free(seen);
    free(first_at);
    free(last_at);
    free(flags);
    free(closed);
    free(cover);
    return nodes == NO_NODE ? -1 : 0;
}

int lt_pieces_settled(const uint32_t *inodes, const lt_piece *pieces, size_t n) {
    size_t last_read = n;
    while (last_read > 0 && !(pieces[last_read - 1].flags & LT_PIECE_FIRST)) --last_read;
    if (last_read <= 1) return 1;
    const size_t before = pieces[last_read - 2].end, total = pieces[n - 1].end;
    unsigned char *gone = static_cast<unsigned char *>(calloc(total, 1));
    uint32_t *listed = static_cast<uint32_t *>(malloc((total - before + 1) * sizeof *listed));
    int settled = -1;
    if (gone && listed && lt_pieces_gone(inodes, pieces, n, gone) == 0) {
        // The last read's sockets, sorted; every earlier one must be among them, or gone.
        const size_t k = total - before;
        memcpy(listed, inodes + before, k * sizeof *listed);
        qsort(listed, k, sizeof *listed, by_value);
        settled = 1;
        for (size_t i = 0; i < before && settled; ++i)
            if (inodes[i] && !gone[i] && !bsearch(&inodes[i], listed, k, sizeof *listed, by_value))
                settled = 0;
    }
    free(gone);
    free(listed);
    return settled;
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

int lt_log_settled(const lt_walk_log *log) {
    return log->lost ? 0 : lt_pieces_settled(log->inodes, log->pieces, log->n_pieces);
}

size_t lt_log_closed(const lt_walk_log *log, uint32_t *closed) {
    if (log->lost || log->count == 0) return 0;
    unsigned char *gone = static_cast<unsigned char *>(calloc(log->count, 1));
    size_t k = 0;
    if (gone && lt_pieces_gone(log->inodes, log->pieces, log->n_pieces, gone) == 0)
        for (size_t i = 0; i < log->count; ++i)
            if (gone[i]) closed[k++] = log->inodes[i];
    free(gone);
    qsort(closed, k, sizeof *closed, by_value);
    size_t unique = 0;
    for (size_t i = 0; i < k; ++i)
        if (unique == 0 || closed[unique - 1] != closed[i]) closed[unique++] = closed[i];
    return unique;
}

bool lt_inode_among(const uint32_t *sorted, size_t k, uint32_t inode) {
    return k && bsearch(&inode, sorted, k, sizeof *sorted, by_value);
}

void lt_log_clear(lt_walk_log *log) {
    log->count = 0;
    log->n_pieces = 0;
    log->lost = 0;
}
