// plugin_ports' side of ports-reader: runs it, with an empty environment and fixed
// arguments, when the program's own account cannot read what an answer needs, and
// keeps what its output says for the rest of the run. plugin_ports itself never holds
// a capability.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/tables.h"
#include "platform/platform.h"

// The reader's path: /usr/libexec/ports/ports-reader, or what PORTS_READER names (a
// variable of the hub's configuration, which no request can set; for tests); "none"
// for none. Null when there is none.
const char *reader_path();

// Makes reader_path null for the rest of the run: the reader itself, which shares these
// files, starts nothing.
void reader_never();

// Fills each endpoint's holders from the reader's "owners" (the holder lowest in pid,
// the second lowest, how many; owner_hidden where the reader could not read every
// process either). 0 when the reader ran and its output was whole; -1 (endpoints
// untouched) when it is missing, not the account's to run, lacks its capabilities or
// said anything malformed.
int reader_owners(lt_endpoint *eps, size_t count);

// The base name of a process's image file as the reader's last output named it; 0 on
// success.
int reader_image_name(uint32_t pid, char *buf, size_t size);

// One process as the reader tells it: its image file, folder, command line (when
// want_cmdline) and the socket inodes it holds. Texts live until the next call.
struct reader_process_facts {
    int exe_state;
    const char *exe;
    int exe_deleted; // -1 unknown
    int cwd_state;
    const char *cwd;
    int cmdline_state;
    const char *cmdline; // arguments, each followed by a NUL
    size_t cmdline_len;
    int held_known;
    const uint32_t *inodes;
    size_t n_inodes;
};

// Runs the reader's "process" for pid (once per run and pid: a second call gives the
// first answer when it asked for as much); 0 with *out filled, -1 when it could not.
int reader_process(uint32_t pid, int want_cmdline, reader_process_facts *out);

// Calls fn with each network namespace the reader's "netns" found: its inode and the
// inode of its /proc/PID/net/tcp entry. 0 when the reader ran and its output was whole.
int reader_netns(void (*fn)(uint64_t netns, uint64_t tcp_ino, void *ctx), void *ctx);
