// The processes of /proc on Linux that the tables need: which hold each socket.
#pragma once

#include <cstddef>

#include "platform/linux/tables.h"

// Finds the processes that hold each endpoint's socket (by its inode) and fills the
// endpoint's pid (the lowest holder), next_pid and holders: one readlinkat per
// descriptor of every process. /proc lists processes in ascending pid order, so the
// walk stops once every socket has a holder, unless every holder is wanted.
void find_owners(lt_endpoint *eps, size_t count, bool every_holder);

// Adds kinds of facts (PLAT_FACT_*) to those this run could not read.
void note_unreadable(int kinds);

// Calls fn with every entry name of an open directory but the dot names, until it
// returns false; read with the same buffers as the walks above.
void proc_dir_each(int dir, bool (*fn)(const char *name, void *ctx), void *ctx);

// The sockets one process holds, found from its own descriptors alone (and its threads'
// where the first thread has exited): each endpoint's pid becomes pid when it holds the
// socket, else 0. 1 when its descriptors could be read, 0 when not.
int find_holdings(lt_endpoint *eps, size_t count, uint32_t pid);

// The full path of a process's image file (through its other threads when the first
// one has exited), without the kernel's " (deleted)" when the file is really gone. 0 on
// success, else the reason (errno: EACCES when the hub may not read it, ENOENT when it
// has none); *deleted 1 when the file is gone, 0 when it is there, -1 unknown.
int proc_image_path(uint32_t pid, char *path, size_t size, int *deleted);
