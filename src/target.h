// The address a probe connects to: 127.0.0.1, or the address the query's addr names
// when it is one of this host's own.
#pragma once

#include <cstdint>

// Room for the addr parameter's decoded text: the longest IPv6 text (45 characters)
// and more; a longer text names no address.
enum { ADDR_PARAM_SIZE = 64 };

struct probe_target {
    int ipv6;               // 0: IPv4, the first 4 bytes of addr; 1: IPv6, all 16
    unsigned char addr[16]; // network byte order
    char text[48];          // standard text form, as the answer names it
    // A link-local address's zone: the interface of the listener bound to it, from the
    // tables (never from the request); 0 for every other address.
    uint32_t scope_id;
};

// 127.0.0.1 over IPv4: the target without addr.
void loopback_target(probe_target *t);

// The address a text names, ready to connect to: 0 with *t filled, -1 when the text
// is no address, carries a zone ("fe80::1%eth0"), or names no single host (0.0.0.0,
// ::). An IPv4-mapped IPv6 address (::ffff:a.b.c.d) becomes the IPv4 address it
// maps: that is the family its traffic uses, and a Windows IPv6 socket would not
// reach it.
int target_from_text(const char *text, probe_target *t);

// A loopback address: 127.0.0.0/8 or ::1.
bool target_is_loopback(const probe_target *t);

// Some TCP listener of this host is bound to the target's address right now (on any
// port), as the TCP endpoint lists show. An IPv4 target also matches an IPv6
// listener bound to its mapped form. A link-local target takes that listener's zone.
bool target_is_listened_on(probe_target *t);

// The address is this host's own: loopback, or assigned to one of its interfaces. A
// listener alone proves nothing: any user may bind one to another host's address
// (IP_FREEBIND).
bool target_is_own(const probe_target *t);

// The target of a probe query: 0 with *t filled, 127.0.0.1 when addr is absent or
// empty; -1 when addr names no address, or one that is not loopback and not both this
// host's own and a listener's. Nothing is connected here.
int target_from_query(const char *query, probe_target *t);

// Whether the probe of a TCP row at its own address would be taken: the address the
// console probes it at (a row on 0.0.0.0 at 127.0.0.1, on :: at ::1) is a target and
// this host's own. The row itself is the listener there. False for UDP rows.
bool target_row_probe(const char *proto, const char *bind_addr);
