// The detail answer: the listeners answer with, for each socket, the process that
// serves it, that process's account, service and container, the number of holders,
// the accept queue, the connections it accepted, whether it takes IPv4, its network
// namespace and where it leads when a port forwarder holds it. It lists the sockets of
// every network namespace of the node.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The process that serves a socket, from its lowest and second lowest holder: the
// service manager (manager, 0 for none) holds the sockets of the services it starts,
// so it serves one only when no other process holds it.
uint32_t serving_pid(uint32_t lowest, uint32_t next, uint32_t manager);

// One established connection's local end.
struct conn_end {
    unsigned char addr[16]; // 4 bytes used for IPv4
    int32_t port;           // host byte order
    int32_t ipv6;
    int64_t netns;
};

// The row of the listener the kernel hands a connection to: the TCP row of its network
// namespace on exactly its address and port, else the wildcard of its family on that
// port, else (IPv4) a "::" that is not v6-only. -1 when none. The rows must be in order
// (order_rows).
int conn_listener(const conn_end &c);

// Counts each connection once, for its listener (conn_listener). A row's lists_read
// has a bit (1 << PLAT_TCP4_CONNS...) for each connection list read of its namespace,
// and conns_read masks them all: a listener whose connections may sit in a list that
// was not read keeps -1.
void count_conns(const conn_end *conns, size_t n, int conns_read);

// What the detail answer says of a row's process, each text UTF-8, empty when unknown.
struct row_text {
    char user[sizeof(plat_process::user)];
    char service[sizeof(plat_process::service)];
    char container[sizeof(plat_process::container)];
};

// The detail reading: fills the table with every socket, ordered, with its serving
// process, its connections counted and the texts of its process (detail_text), of the
// program's own network namespace and, with every_netns, of every other one too.
// Returns a bit (1 << PLAT_TCP4...) for every list of the program's own namespace
// read; none of the four endpoint lists' bits when not one of them could be read.
int detail_read(bool every_netns);

// Whether detail_read left sockets out for want of room (TCP listeners of every
// namespace are kept first, then the UDP sockets of the program's own).
bool detail_truncated();

// The list bits of readable (detail_read's) whose sockets of the program's own namespace
// are all in the table: a list some of whose sockets were left out for want of room is
// not whole. What policy_judge takes.
int detail_judgeable(int readable);

// The texts of row i after detail_read.
const row_text &detail_text(int row);

// Writes the detail body (the JSON header block is already out), or the error body
// when not one list could be read. gate_on: whether a node password guards the answer,
// which the body says last.
void detail_action(int gate_on);
