// The processes of /proc on Linux that the tables need: which hold each socket.
#pragma once

#include <cstddef>

#include "linux_tables.h"

// Finds the processes that hold each endpoint's socket (by its inode) and fills the
// endpoint's pid (the lowest holder), next_pid and holders: one readlinkat per
// descriptor of every process. /proc lists processes in ascending pid order, so the
// walk stops once every socket has a holder, unless every holder is wanted.
void find_owners(lt_endpoint *eps, size_t count, bool every_holder);

// Calls fn with every entry name of an open directory but the dot names, until it
// returns false; read with the same buffers as the walks above.
void proc_dir_each(int dir, bool (*fn)(const char *name, void *ctx), void *ctx);
