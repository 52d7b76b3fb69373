// Who is connected: the established connections of one TCP listener, grouped by remote
// address. Remote addresses are personal data, so the answer is given only behind the
// node password.
#pragma once

#include <cstddef>
#include <cstdint>

// Most addresses the answer names; the connections of the rest are counted together.
enum { PEERS_NAMED = 20 };

// One remote address and its connections.
struct peer_group {
    int32_t ipv6;           // 0: IPv4, the first 4 bytes of addr
    unsigned char addr[16]; // network byte order; an IPv4-mapped address is its IPv4 one
    int32_t count;
};

// Groups n remote addresses (each ipv6 flag and 16 bytes) by address into groups,
// busiest first, ties by address (IPv4 before IPv6, then by their bytes); addrs is
// sorted in place. groups has room for n. Returns the number of groups.
size_t peers_group(peer_group *addrs, size_t n, peer_group *groups);

// Reads the query's port, addr and proto, and writes the peers body or its error (the
// JSON header block is already out). gate_on: the node password guards this run.
void peers_action(const char *query, int gate_on);
