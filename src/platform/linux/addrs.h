// The addresses of the interfaces of a network namespace, from the kernel's routing
// netlink (RTM_GETADDR). The reading of a reply is pure, so tests feed it directly.
#pragma once

#include <cstddef>
#include <cstdint>

// One address of an interface: 4 bytes (ipv6 == 0) or 16, network order, and the
// interface's index.
struct la_addr {
    int ipv6;
    unsigned char addr[16];
    uint32_t ifindex;
};

typedef void (*la_addr_fn)(const la_addr *a, void *ctx);

// Reads one datagram of an RTM_GETADDR dump and calls fn for each IPv4 or IPv6 address
// in it: the interface's own address (IFA_LOCAL where the message has one, which on a
// point-to-point link is not the peer's IFA_ADDRESS). LT_MORE: the dump goes on;
// LT_DONE: it has ended; LT_ERROR: the kernel refused the request or the data is
// malformed (the results of linux/tables.h).
int la_parse(const void *data, size_t len, la_addr_fn fn, void *ctx);

// Every address of the network namespace the NETLINK_ROUTE socket fd was opened in,
// each through fn. 0 when the whole dump arrived; fn may have been called even when not.
int la_dump(int fd, la_addr_fn fn, void *ctx);
