// The two sources of a process's image file name on Windows, apart, so the platform
// tests can check each on its own.
#pragma once

#include <cstddef>
#include <cstdint>

// The base name of the image path that QueryFullProcessImageNameW gives, as UTF-8;
// -1 when the process cannot be opened, its path is empty or the name does not fit.
int win_path_name(uint32_t pid, char *buf, size_t size);

// The name in the process snapshot taken by plat_tables_open, as UTF-8; -1 outside
// open and close, for a process it does not hold, or when the name does not fit.
int win_snapshot_name(uint32_t pid, char *buf, size_t size);
