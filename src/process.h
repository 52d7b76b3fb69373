// The process answer (action=process): which program a process runs, with which
// arguments, from which folder, since when, started by whom, and what it listens on.
#pragma once

#include <cstddef>
#include <cstdint>

// A pid text as the answer takes it: decimal digits alone, no leading zero, from 1 to
// 4294967295. 1 with *pid set, else 0.
int pid_of_text(const char *text, uint32_t *pid);

// Writes a time (100-ns units since 1970-01-01 UTC) as "YYYY-MM-DDTHH:MM:SSZ" into buf
// (at least 21 bytes; a year outside 0..9999 is cut to it).
void utc_text(int64_t t, char *buf, size_t size);

// The most parents the answer lists.
enum { MAX_PARENTS = 64 };

// Writes the process answer, or its error body (the JSON header block is already out).
// gate_on: a node password guards this run, so the command line may be told.
void process_action(const char *query, int gate_on);
