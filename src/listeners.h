// The listener inventory: the table of listening sockets, filled from the system's
// endpoint tables, ordered by port and written as the listeners answer.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum { SCOPE_LOOPBACK = 0, SCOPE_WILDCARD = 1, SCOPE_SPECIFIC = 2 };

enum { MAX_SOCKS = 1024 };

// Rows of the detail answer, which lists every network namespace of the node: a node
// with a hundred containers holds more sockets than one system alone. Static storage
// is only touched as rows are added.
enum { MAX_ROWS = 16384 };

// One listening socket as it is reported.
struct sock_row {
    char proto[4];      // "tcp" or "udp"
    char bind_addr[64]; // standard text form of the local address, or "unknown"
    int32_t port;       // host byte order, 1..65535
    int32_t scope;      // SCOPE_*
    int32_t pid;        // owning process, 0 when unknown
    char comm[96];      // base name of the owner's image file (UTF-8), empty when unknown
    // The detail answer's facts of the socket (unknown in the plain answer).
    int32_t holders;        // processes that hold it: 0 none, -1 hidden from the account
    int32_t queue;          // TCP listeners: connections waiting to be accepted, -1 unknown
    int32_t backlog;        // the accept queue's limit, -1 unknown
    int32_t conns;          // TCP listeners: established connections it accepted, -1 unknown
    int32_t v6only;         // rows on "::": 1 refuses IPv4, 0 takes both; -1 unknown or other
    int64_t account;        // the account the table names for the socket, -1 none
    int32_t ipv6;           // the family of addr
    unsigned char addr[16]; // the local address as the table gave it (4 bytes for IPv4)
    int64_t netns;          // the socket's network namespace (plat_endpoint.netns)
    int32_t lists_read;     // a bit (1 << PLAT_TCP4...) for each list read of that namespace
    int32_t unread;         // ROW_UNREAD_* of the facts that could not be read
};

// The facts of a row that a rule may name, a bit each in sock_row::unread: set when the
// fact could not be read, so that its empty text is not taken for "none". Any cause
// may set them; a rule is judged only on the facts that were read.
enum {
    ROW_UNREAD_COMM = 1 << 0,
    ROW_UNREAD_SERVICE = 1 << 1,
    ROW_UNREAD_USER = 1 << 2,
    ROW_UNREAD_CONTAINER = 1 << 3,
    ROW_UNREAD_FACTS = (1 << 4) - 1,
};

extern sock_row g_socks[MAX_ROWS];
extern int32_t g_sock_count;

// Scope class of an address text.
int scope_of(const char *addr_text);

// An IPv4-mapped IPv6 address (16 bytes, network order) as the IPv4 address it is, in
// place: both spellings name one socket, one peer, one target. Other addresses stay.
void addr_unmap(int32_t *ipv6, unsigned char *addr);

// The word of a scope code: "loopback", "wildcard", "specific".
const char *scope_word(int32_t scope);

// The port (host order) of a table's port field: the low 16 bits, in network order.
int32_t port_of_field(uint32_t port_field);

// Appends one endpoint as the system's table holds it: the raw address (4 bytes, or
// 16 when ipv6 != 0), the port in network byte order in the low 16 bits of
// port_field, the owning process id. Sockets on port 0 and beyond the table's size
// (MAX_SOCKS; MAX_ROWS in a detail reading) are dropped.
void win_add_row(const char *proto, int ipv6, const void *addr, uint32_t port_field, uint32_t pid);

// Appends one endpoint of a list (PLAT_TCP4...) as the row of process pid, named from
// the image lookup (or from the system's list when pid is the endpoint's own owner).
// TCP endpoints other than listeners are passed over. The new row's index, or -1.
int add_endpoint(int list, const plat_endpoint *ep, uint32_t pid);

// Empties the table and fills it from the four endpoint lists, in the order IPv4
// TCP, IPv6 TCP, IPv4 UDP, IPv6 UDP. Returns a bit (1 << PLAT_TCP4...) for every
// list that could be read. fn, when given, takes each endpoint instead of the plain
// intake, and flags go to the platform's reading (PLAT_DETAIL, which also lets the
// table hold MAX_ROWS; PLAT_EVERY_NETNS with ns_fn).
int enumerate_sockets(plat_endpoint_fn fn = nullptr, void *ctx = nullptr, int flags = 0,
                      plat_netns_fn ns_fn = nullptr);

// Orders the rows by port, then protocol, keeping the order of equal rows.
void order_rows();

// Writes the opening of a row's object and its first keys: {"proto":..,"bind_addr":..,
// "port":..
void write_endpoint_keys(const sock_row &r);

// Writes the listeners body for the rows as they stand.
void write_listeners_body();

// More of a listeners body: keys at the end of each row's object, then keys after
// the listeners array.
struct listeners_more {
    void (*row)(const sock_row &r, void *ctx);
    void (*after)(void *ctx);
    void *ctx;
};

// The listeners body with more in it.
void write_listeners_body_with(const listeners_more &more);

// The error body of an answer for which not one list could be read.
void write_tables_unreadable();

// Writes the listeners body (the JSON header block is already out), or an error body
// when not one list could be read: an empty answer would say that nothing listens.
void listeners_action();
