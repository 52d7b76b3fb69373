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

// The parent id the snapshot holds for pid: the process that created it, whose id may
// have been given to another process since. -1 for a process it does not hold.
int win_names_parent(const win_names *names, uint32_t pid, uint32_t *ppid);
