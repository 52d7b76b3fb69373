// The listener inventory: the table of listening sockets, filled from the system's
// endpoint tables, ordered by port and written as the listeners answer.
#pragma once

#include <cstdint>

enum { SCOPE_LOOPBACK = 0, SCOPE_WILDCARD = 1, SCOPE_SPECIFIC = 2 };

enum { MAX_SOCKS = 1024 };

// One listening socket as it is reported.
struct sock_row {
    char proto[4];      // "tcp" or "udp"
    char bind_addr[64]; // standard text form of the local address, or "unknown"
    int32_t port;       // host byte order, 1..65535
    int32_t scope;      // SCOPE_*
    int32_t pid;        // owning process, 0 when unknown
    char comm[96];      // base name of the owner's image file (UTF-8), empty when unknown
};

extern sock_row g_socks[MAX_SOCKS];
extern int32_t g_sock_count;

// Scope class of an address text.
int scope_of(const char *addr_text);

// Appends one endpoint as the system's table holds it: the raw address (4 bytes, or
// 16 when ipv6 != 0), the port in network byte order in the low 16 bits of
// port_field, the owning process id. Sockets on port 0 and beyond the table's size
// are dropped.
void win_add_row(const char *proto, int ipv6, const void *addr, uint32_t port_field, uint32_t pid);

// Empties the table and fills it from the four endpoint lists, in the order IPv4
// TCP, IPv6 TCP, IPv4 UDP, IPv6 UDP. Returns a bit (1 << PLAT_TCP4...) for every
// list that could be read.
int enumerate_sockets();

// Orders the rows by port, then protocol, keeping the order of equal rows.
void order_rows();

// Writes the listeners body for the rows as they stand.
void write_listeners_body();

// Writes the listeners body (the JSON header block is already out), or an error body
// when not one list could be read: an empty answer would say that nothing listens.
void listeners_action();
