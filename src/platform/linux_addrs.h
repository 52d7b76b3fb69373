// The addresses of a network namespace's interfaces on Linux, from an RTM_GETADDR dump of
// a NETLINK_ROUTE socket. Parsing is pure, so tests feed it datagrams directly.
#pragma once

#include <cstddef>
#include <cstdint>

// One address of an interface: 4 bytes (ipv6 == 0) or 16, network byte order.
struct la_addr {
    int ipv6;
    unsigned char addr[16];
    uint32_t ifindex;
};

typedef void (*la_addr_fn)(const la_addr *a, void *ctx);

// Reads one datagram of an RTM_GETADDR dump and calls fn for each IPv4 and IPv6 address
// in it (an IPv4 address is the interface's own local one, not the peer of a
// point-to-point link). LT_MORE: the dump goes on; LT_DONE: it has ended; LT_ERROR: the
// kernel refused the request or the data is malformed.
int la_parse(const void *data, size_t len, la_addr_fn fn, void *ctx);

// Every address of the network namespace that the NETLINK_ROUTE socket fd was opened in;
// 0 when the whole dump arrived.
int la_dump(int fd, la_addr_fn fn, void *ctx);
