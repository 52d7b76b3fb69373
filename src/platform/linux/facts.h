// Reading the small files of /proc and /etc, through the table of linux_sys.h: shared by
// the process facts of the detail answer and the process answer.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Reads a small file whole into buf (size bytes), NUL-terminated; its length, or -1.
// A longer file is cut: the lines read first are the ones wanted.
ssize_t read_small(const char *path, char *buf, size_t size);

// The parent of a process, from /proc/PID/stat (after the name, which may hold any byte);
// 0 when unknown.
uint32_t read_parent(uint32_t pid);

// Reads a file whole into memory of its own (*text, which the caller frees), ended by a
// NUL past its *len bytes. 0 on success, else the reason (errno; EFBIG past limit bytes).
int read_whole(const char *path, size_t limit, char **text, size_t *len);
