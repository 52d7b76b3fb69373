// One socket list of one network namespace, read until its reads vouch for the whole of
// it (walks.h), into a snapshot that holds every list of a reading.
#pragma once

#include <cstddef>

#include "platform/linux/tables.h"
#include "platform/linux/walks.h"
#include "platform/platform.h"

// All four lists are read into one snapshot, so that the owners of every endpoint are
// found in a single pass over /proc/*/fd.
struct table_snapshot {
    lt_endpoint *eps;
    size_t count, cap;
    size_t begin[PLAT_ALL_LISTS], end[PLAT_ALL_LISTS];
    int oom; // an endpoint could not be stored: the list being read fails
    // The connection lists keep the connections on a port a TCP listener uses, the
    // only ones the answer counts (bit per port); the kernel is asked for those alone.
    const unsigned char *listen_ports;
    const void *conn_filter;
    size_t conn_filter_len;
    // Where the namespace being read shows its lists: the /proc/net folder to read, and
    // whether sock_diag reaches it (the program is in it).
    const char *proc_net;
    int no_diag;
};

// Where the lists read since this was last cleared came from: a bit each.
enum { LIST_FROM_DIAG = 1, LIST_FROM_PROC = 2 };
extern int g_list_sources;

// Reads one list (PLAT_TCP4...) into the snapshot, from sock_diag or else from /proc/net,
// each socket once: its range in t.begin and t.end. 0 on success; a list that fails
// leaves nothing behind.
int read_list(table_snapshot &t, lt_walk_log &log, int list);

// Reads the connection lists of the namespace whose listener lists t has just read, into
// c; the bits of those read.
int read_conns(const table_snapshot &t, int readable, table_snapshot &c, lt_walk_log &log);

// Closes the netlink socket of first reads: it reads the namespace it was made in.
void close_diag();
