// Whether several reads of one socket list, taken together, have seen every socket that
// lived through them. Pure functions: the Linux tables feed them what the reads gave.
//
// The kernel hands a list over in pieces. Each piece is one uninterrupted walk of its
// hash table, slot by slot and along each slot's chain, and the next piece resumes by
// position: sockets bound or closed meanwhile shift it, so it may repeat sockets or skip
// some. Inside a piece nothing is skipped: between two sockets it lists, it lists every
// socket that was there. And the walk order never changes for sockets that stay (new
// ones join a chain at one end, none moves). So a piece that lists socket a before b
// vouches for the stretch from a to b, a read's first piece for the stretch from the
// table's start to anything it lists, and a last piece that ended with the table (not
// because it was full) for the stretch from anything it lists to the end. When such
// stretches, joined at sockets that two pieces share, lead from the start to the end,
// every socket that lived through the reads is in one of them.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    LT_PIECE_FIRST = 1, // a read's first piece: walked from the table's start
    LT_PIECE_TO_END = 2 // a read's last piece, which walked on to the table's end
};

// One piece of a read; its sockets run from the previous piece's end to its own.
struct lt_piece {
    size_t end;
    unsigned flags;
};

// 1 when the pieces (of any number of reads, in the order received) vouch for the
// whole table, as above; 0 when they do not; -1 without memory to tell. inodes holds
// the socket inode of every entry the pieces listed, in order; inode 0 names no socket.
int lt_pieces_cover(const uint32_t *inodes, const lt_piece *pieces, size_t n);

// Whether a piece of `bytes` ended because the table did, not because it was full: the
// next entry, at most `entry_max` bytes, would still have fitted. A piece has room for
// `small` bytes, known only to lie between small_lo and small_hi, or, when the kernel
// could get more memory, for at least big_lo bytes.
bool lt_piece_reached_end(size_t bytes, size_t entry_max, size_t small_lo, size_t small_hi,
                          size_t big_lo);

// The reads of one list as lt_pieces_cover takes them, grown through `grow` (shaped
// like realloc); `lost` once it could not grow, and then it vouches for nothing.
struct lt_walk_log {
    uint32_t *inodes;
    size_t count, cap;
    lt_piece *pieces;
    size_t n_pieces, pieces_cap;
    int lost;
    void *(*grow)(void *p, size_t size);
};

// Notes the next entry a piece listed.
void lt_log_entry(lt_walk_log *log, uint32_t inode);

// Ends the piece being listed, here.
void lt_log_piece(lt_walk_log *log, unsigned flags);

// Marks the last piece as one that walked on to the table's end.
void lt_log_to_end(lt_walk_log *log);

// lt_pieces_cover over the log; 0 when it was lost.
int lt_log_covers(const lt_walk_log *log);

// Forgets every piece, keeping the memory.
void lt_log_clear(lt_walk_log *log);
