// Pure pieces of the Linux endpoint tables: building and reading sock_diag netlink
// messages, reading /proc/net lines, mapping socket inodes to their owners. Nothing
// here touches the system, so tests feed these functions directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The protocol of a list (proto arguments below): TCP listeners, UDP sockets,
// established TCP connections of one family, or of both families in one dump (the
// older request form, which walks the kernel's connection table once for both).
enum { LT_TCP = 0, LT_UDP = 1, LT_CONNS = 2, LT_CONNS_BOTH = 3 };

// One endpoint with the inode of its socket, which names the owner in /proc/*/fd, and
// the remote end, which tells connections apart (a connection still waiting in an
// accept queue has no inode yet).
struct lt_endpoint {
    plat_endpoint ep;
    uint32_t inode;
    unsigned char peer[16];
    uint32_t peer_port;
    int ipv6; // the socket's family, which a dump of both families tells per socket
};

typedef void (*lt_endpoint_fn)(const lt_endpoint *e, void *ctx);

// Results of reading one netlink datagram of a dump.
enum { LT_ERROR = -1, LT_MORE = 0, LT_DONE = 1 };

// One message of a netlink datagram: its type and the len bytes after its header. 0 to
// go on, -1 when the message is malformed.
typedef int (*lt_message_fn)(uint16_t type, const unsigned char *body, size_t len, void *ctx);

// Walks the messages of one netlink datagram, calling fn for each but the end of the
// dump and an error: LT_DONE at the end, LT_ERROR for an error message, malformed data or
// a message fn refuses, else LT_MORE.
int lt_netlink_walk(const void *data, size_t len, lt_message_fn fn, void *ctx);

// Room a dump request needs; a port filter (below) adds to it.
enum { LT_REQUEST_SIZE = 128 };

// Most ports a filter takes, and the room it then needs.
enum { LT_FILTER_PORTS = 2048, LT_FILTER_SIZE = LT_FILTER_PORTS * 28 };

// Builds the sock_diag dump request of one list: TCP listeners only (so the kernel
// does not walk established connections), UDP in every state, connections in the
// established state only. A filter (lt_port_filter) goes with it when given. Returns
// its length, or 0 when size is too small.
size_t lt_diag_request(int proto, int ipv6, uint32_t seq, void *buf, size_t size,
                       const void *filter = nullptr, size_t filter_len = 0);

// Builds the kernel's filter bytecode (INET_DIAG_REQ_BYTECODE) that takes only the
// sockets whose local port is one of ports (n of them, ascending, no repeats): a binary
// search, so each socket costs a few comparisons however many ports there are.
// Returns its length, or 0 when n is 0 or above LT_FILTER_PORTS, or it does not fit.
size_t lt_port_filter(const uint16_t *ports, size_t n, void *buf, size_t size);

// Reads the messages of one datagram of a dump and calls fn for each socket of the
// asked family (of either, for LT_CONNS_BOTH), with the socket's account (its uid), for TCP
// listeners the accept queue and its limit, for IPv6 sockets whether they refuse IPv4 (the
// attribute the kernel adds unasked). LT_MORE: the dump goes on; LT_DONE: it has ended; LT_ERROR:
// the kernel refused the request or the data is malformed.
int lt_diag_parse(const void *data, size_t len, int proto, int ipv6, lt_endpoint_fn fn, void *ctx);

// Reads one line of /proc/net/{tcp,udp,tcp6,udp6}, with the socket's account and, for
// a TCP listener, its accept queue (the limit is not shown: -1). 1 with *out filled
// for a socket line; 0 for the heading or a line that is not one.
int lt_proc_line(const char *line, int proto, int ipv6, lt_endpoint *out);

// A kernel TCP state in the numbering every platform shares (PLAT_TCP_LISTEN...);
// 0 for a state that has no counterpart.
uint32_t lt_tcp_state(unsigned kernel_state);

// The inode of a descriptor link "socket:[N]"; 1 when link (n bytes) is one.
int lt_socket_inode(const char *link, size_t n, uint32_t *inode);

// Drops the kernel's " (deleted)" mark from an image path of n bytes; the new length.
size_t lt_exe_trim(char *path, size_t n);

// Drops every endpoint whose socket inode came earlier in the list, keeping the
// order of the rest (endpoints without an inode are all kept); the new count.
size_t lt_drop_repeats(lt_endpoint *e, size_t n);

// Drops every connection whose two ends came earlier in the list, keeping the order
// of the rest; the new count.
size_t lt_drop_repeat_conns(lt_endpoint *e, size_t n);

// Puts the IPv4 endpoints before the IPv6 ones, each in their order, with room for n
// more endpoints at scratch; the number of IPv4 ones.
size_t lt_split_families(lt_endpoint *e, size_t n, lt_endpoint *scratch);

// Socket inodes and the processes that hold them.
struct lt_owner {
    uint32_t inode;
    uint32_t pid;         // the lowest holder, 0 while none is known
    uint32_t next = 0;    // the second lowest, 0 while none is known
    uint32_t holders = 0; // the processes noted
    uint32_t last = 0;    // the holder noted last: its descriptors are read together
};

// Sorts the table by inode and drops repeats and inode 0; the new count.
size_t lt_owners_prepare(lt_owner *o, size_t n);

// Notes that pid holds inode; the lowest pid wins. Notes of one process follow each
// other (its descriptors, its threads' descriptors) and count as one holder. 1 when
// the inode had no holder yet.
int lt_owners_note(lt_owner *o, size_t n, uint32_t inode, uint32_t pid);

// The holder of inode, 0 when none is known.
uint32_t lt_owners_find(const lt_owner *o, size_t n, uint32_t inode);

// The entry of inode, null when the table has none.
const lt_owner *lt_owners_entry(const lt_owner *o, size_t n, uint32_t inode);
