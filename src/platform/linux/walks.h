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
//
// The same stretches prove a socket closed. Say piece t listed socket s last. The pieces
// after t that share sockets join into stretches as above, each vouching for everything
// between the sockets its pieces list (from the table's start when one of them is a
// read's first piece, to the end when one walked on to it). When a piece listed a socket
// before s, and a piece listed one after s, and a stretch of later pieces lists both,
// s lies inside that stretch (walk order never changes). Had s still been open when the
// last of those pieces ended, it would have been open for all of them: it was open when
// t listed it, and a closed socket never comes back. The piece that walked over its
// place would have listed it. None did: s is closed, and is dropped. What is taken as
// known of the order: what a single piece shows, and that a socket open all through a
// read's first piece that the piece did not list lies after all of it (before all of a
// last piece that ran to the end: it walked over everything else). Nothing is taken from
// where two pieces of one read meet: sockets bound meanwhile at the head of a chain may
// lead the next piece, before sockets listed already. So an answer holds no socket that
// a later walk over its place went without; a socket whose place no later stretch
// covered stays, as it was when last listed.
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

// Marks gone[i] = 1 for every entry i (of the inodes lt_pieces_cover takes) whose socket
// the pieces after the last one listing it prove closed, as above; 0, or -1 without
// memory to tell (nothing marked). Entries without an inode are never marked.
int lt_pieces_gone(const uint32_t *inodes, const lt_piece *pieces, size_t n, unsigned char *gone);

// 1 when every socket that the reads before the last one listed is listed by the last
// one too, or proven closed (lt_pieces_gone); 0 when some socket's fate is open; -1
// without memory to tell.
int lt_pieces_settled(const uint32_t *inodes, const lt_piece *pieces, size_t n);

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

// lt_pieces_settled over the log; 0 when it was lost.
int lt_log_settled(const lt_walk_log *log);

// The inodes of the sockets the log's reads prove closed (lt_pieces_gone), ascending and
// each once, into closed (room for log->count of them); their number, 0 when there are
// none or no memory to tell.
size_t lt_log_closed(const lt_walk_log *log, uint32_t *closed);

// Whether inode is among the k ascending inodes of sorted.
bool lt_inode_among(const uint32_t *sorted, size_t k, uint32_t inode);

// Forgets every piece, keeping the memory.
void lt_log_clear(lt_walk_log *log);
