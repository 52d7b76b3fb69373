// The two sources of a process's image file name on Windows, apart, so the platform
// tests can check each on its own.
#pragma once

#include <cstddef>
#include <cstdint>

// The base name of the image path that QueryFullProcessImageNameW gives, as UTF-8;
// -1 when the process cannot be opened, its path is empty or the name does not fit.
int win_path_name(uint32_t pid, char *buf, size_t size);

// The image file name of every process from one process snapshot, sorted by pid.
struct win_process_name;
struct win_names {
    win_process_name *procs;
    size_t count;
};

// Takes the snapshot (empty when it cannot be had); win_names_free releases it.
void win_names_take(win_names *names);
void win_names_free(win_names *names);

// The name of pid in the snapshot, as UTF-8; -1 for a process it does not hold or when
// the name does not fit.
int win_names_find(const win_names *names, uint32_t pid, char *buf, size_t size);

// The system time now, in FILETIME ticks (100 ns since 1601, UTC).
uint64_t win_now();

// 1 when the process that now has pid was created after read_at (FILETIME ticks), so
// that it cannot be the owner a table read at read_at names: that one has ended and its
// pid was given anew. 0 when it was not, or its creation time cannot be had. A process
// of the snapshot names (null for none) is asked once, however often it is named.
int win_pid_reused(win_names *names, uint32_t pid, uint64_t read_at);

// The parent id the snapshot holds for pid: the process that created it, whose id may
// have been given to another process since. -1 for a process it does not hold.
int win_names_parent(const win_names *names, uint32_t pid, uint32_t *ppid);
