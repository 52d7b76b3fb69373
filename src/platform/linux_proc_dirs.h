// The processes of /proc on Linux that the tables need: which hold each socket.
#pragma once

#include <cstddef>

#include "linux_tables.h"

// Finds the processes that hold each endpoint's socket (by its inode) and fills the
// endpoint's pid (the lowest holder), next_pid and holders: one readlinkat per
// descriptor of every process. /proc lists processes in ascending pid order, so the
// walk stops once every socket has a holder, unless every holder is wanted.
void find_owners(lt_endpoint *eps, size_t count, bool every_holder);
