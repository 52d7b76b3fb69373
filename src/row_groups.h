// Rows that agree on a key, found in one pass over the table: for answers that write
// one line per distinct key (a series, a rule), however many sockets share it.
#pragma once

#include <cstdint>

// A row's key as a hash, and whether two rows' keys are equal.
typedef uint64_t (*row_hash_fn)(int row);
typedef bool (*row_same_fn)(int a, int b);

// For each of the rows 0..count-1: head[i] is the first row (in table order) whose key
// equals row i's, or -1 for a row that keep leaves out.
void group_rows(int count, bool (*keep)(int row), row_hash_fn hash, row_same_fn same,
                int16_t *head);

// FNV-1a of a text and its terminator, or of a number's four bytes, continued from h
// (start with ROW_HASH_START).
uint64_t hash_text(uint64_t h, const char *text);
uint64_t hash_int(uint64_t h, int32_t v);
const uint64_t ROW_HASH_START = 14695981039346656037ull;
