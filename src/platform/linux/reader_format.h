// The output of ports-reader, the small program that reads what the hub's account may
// not (other accounts' descriptors and image files) with two capabilities of its own.
// plugin_ports reads it as untrusted input: every line is checked, and an output that is
// not whole and well formed is not used at all.
//
// Version 1, one record a line, fields separated by one blank, numbers in decimal
// without a leading zero, texts percent-encoded (every byte outside '!'..'~', and '%',
// as %XX):
//   ports-reader 1              the first line
//   o INODE PID NEXT HOLDERS    a socket: its lowest holder, the second lowest (0: none),
//                               how many processes hold it
//   n PID NAME                  the base name of a holder's image file
//   x owners                    a descriptor folder could not be read even so
//   m NETNS TCP                 a network namespace: its inode, and the inode of its
//                               /proc/PID/net/tcp entry, which every account may see
//   e STATE DELETED PATH        the process's image file (STATE: 0 read, 1 none, 2 denied;
//                               DELETED 0, 1 or 2 for unknown; PATH "-" when not read)
//   c STATE PATH                its working folder
//   k STATE                     whether its command line was read
//   a ARG                       one argument of it, in order
//   h KNOWN                     1 when its descriptors were read
//   s INODE                     a socket it holds
//   end N                       the last line: N records came before it
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    READER_VERSION = 1,
    // The most bytes read of an output, and so the most a reader writes.
    READER_MAX_OUTPUT = 64 << 20,
    // The longest text a record may hold, decoded (a command-line argument's limit).
    READER_MAX_TEXT = 128 << 10,
};

// One record, as the parser hands it over: its kind ('o', 'n', 'x', 'm', 'e', 'c', 'k',
// 'a', 'h', 's'), its numbers in order, and its text (decoded, NUL-terminated, len bytes; it
// may hold NUL bytes no more than the kernel's texts do: none) or null.
struct reader_record {
    char kind;
    int count;      // numbers given
    uint64_t num[4];
    const char *text;
    size_t len;
};

typedef void (*reader_record_fn)(const reader_record *r, void *ctx);

// Reads an output of len bytes (changed in place: texts are decoded where they stand),
// calling fn for each record in order. 0 when the output is whole and well formed;
// -1 otherwise, and the records already handed over must be dropped.
int reader_parse(char *data, size_t len, reader_record_fn fn, void *ctx);

// Writes text (len bytes) percent-encoded into out, which has room for 3 * len + 1
// bytes; the length written, NUL not counted.
size_t reader_encode(const char *text, size_t len, char *out);
