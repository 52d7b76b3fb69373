// A platform layer that the logic tests steer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The value plat_clock_ms returns next; every reading then advances it by
// g_fake_clock_step.
extern uint64_t g_fake_clock_ms;
extern uint64_t g_fake_clock_step;

// ---- endpoint tables, owners and image paths --------------------------------

// Room for a detail reading cut at its size.
enum { FAKE_LIST_MAX = 16400 };

// One endpoint list as plat_tables_read delivers it; fail makes that list unreadable.
struct fake_list {
    plat_endpoint eps[FAKE_LIST_MAX];
    int count;
    int fail;
};

// The four lists and the two connection lists of a detail reading, by list number
// (PLAT_TCP4...).
extern fake_list g_fake_lists[PLAT_ALL_LISTS];

// Appends an endpoint: addr as text (inet_pton), port in host order, a listening state
// (established in the connection lists), every fact unknown. The returned endpoint may
// be changed further.
plat_endpoint *fake_endpoint(int list, const char *addr, int port, uint32_t pid);

// Adds a network namespace besides the program's own (a few at a time): a detail reading
// of every namespace delivers the endpoints whose netns is its name after the own ones,
// in the order added; the lists whose bits (1 << PLAT_TCP4...) fail holds cannot be read.
void fake_netns(int64_t netns, int fail);

// Makes pid a port forwarder whose socket leads to f (one at a time).
void fake_forward(uint32_t pid, const plat_forward &f);

// Adds a publication plat_published_read reports (a few at a time; a reset forgets them).
void fake_published(const plat_published &p);

// Gives pid the pod uid plat_process_facts reports, and that pod a namespace and name
// (one at a time).
void fake_pod(uint32_t pid, const char *uid, const char *ns, const char *name);

// Gives the container whose 12-character id is container a name (one at a time).
void fake_container_name(const char *container, const char *name);

// Gives pid an image file name (a few at a time); other pids have none.
void fake_image(uint32_t pid, const char *name);

extern int g_fake_addr_fail;   // plat_addr_text fails
extern int g_fake_addr_empty;  // plat_addr_text succeeds with an empty text
extern const char *g_fake_addr6_text; // not null: the text of every IPv6 address
extern int g_fake_image_calls; // plat_image_name calls so far
extern int g_fake_readings;    // plat_tables_read calls so far
extern int g_fake_flags;       // the flags of the last plat_tables_read

// Gives pid the facts plat_process_facts reports (a few at a time); other pids have none.
// The facts returned may be changed further (their unread bits, say).
plat_process *fake_process(uint32_t pid, const char *user, const char *service,
                           const char *container);
// Gives an account a name; other accounts have none.
void fake_account(int64_t account, const char *name);

// Makes an address (text, as inet_pton reads it) one of this host's interfaces' for
// plat_addr_is_local (a few at a time); loopback addresses always are.
void fake_local_addr(const char *addr);
extern int g_fake_local_calls;      // plat_addr_is_local calls so far
extern int g_fake_reader;           // what plat_reader reports (PLAT_READER_NONE after a reset)
extern int g_fake_port_reads;       // plat_port_read calls so far (it delivers the lists' own
                                    // endpoints on the port, with the peers they were given)
extern int g_fake_facts_unreadable; // what plat_facts_unreadable reports

extern uint32_t g_fake_manager_pid; // plat_service_manager_pid (1 after a reset)
extern int g_fake_fact_calls;       // plat_process_facts calls so far
extern int g_fake_account_calls;    // plat_account_name calls so far

// The file plat_read_file and plat_read_secret read, whatever the path: its outcome
// (PLAT_FILE_MISSING after a reset) and its bytes. plat_policy_path gives
// "/fake/expected", plat_password_path "/fake/password".
extern int g_fake_file_outcome;
extern const char *g_fake_file_text;
extern size_t g_fake_file_len;

// ---- one process --------------------------------------------------------------

extern uint32_t g_fake_pid_max; // plat_pid_max (4194303 after a reset)
extern int64_t g_fake_now;      // plat_time_now

// Makes pid a process (a few at a time); other pids name none.
void fake_proc(uint32_t pid, uint32_t ppid, int64_t started, const char *name);

// What plat_proc_more_of reports (for any pid); want_cmdline of its last call, -1 before.
extern plat_proc_more g_fake_more;
extern int g_fake_want_cmdline;
// plat_tables_read_for: whether the process's holdings can be told.
extern int g_fake_held_unknown;

// Empties the lists and the images and clears every switch and counter.
void fake_tables_reset();

// ---- TCP --------------------------------------------------------------------

// How one connection goes; sockets take the scripts g_fake_conns[0], [1], ... in the
// order they are made (later ones connect at once and then see the peer close).
struct fake_conn {
    bool no_socket = false;    // plat_tcp_socket fails
    int connect = 0;           // class plat_connect_to returns (PLAT_CONNECTED)
    int wait = 1;              // result of the write wait: >0 ready, 0 time-out, <0 failure
    int pending = 0;           // class plat_connect_result returns
    long send = -2;            // plat_send's result; -2 takes every byte
    const char *reply[4] = {}; // the reply, one piece per receive (a long piece spans
                               // several when the room is short)
    uint64_t piece_ms = 0;     // clock time before each piece can be read
    int after = 0;             // after the pieces: one of the FAKE_ values below
    int local_port = 0;        // the socket's own port (0: 40000; -1: cannot be read)
    // Its own address, in the socket's family (null: the address it connected to).
    const unsigned char *local_addr = nullptr;
};
enum { FAKE_PEER_CLOSES = 0, FAKE_SILENT = 1, FAKE_RECV_FAILS = 2, FAKE_WAIT_FAILS = 3 };

// What the probe did to the socket layer.
struct fake_net_log {
    int sockets;           // sockets made
    int open;              // sockets open now
    int max_open;          // most sockets open at once
    int bad_closes;        // closes of a socket that is not open
    int blocking_connects; // connects on a socket not made non-blocking
    int family_mismatches; // connects to an address of another family than the socket's
    int ipv6;              // family of the last connect (1: IPv6)
    unsigned char addr[16]; // address of the last connect (4 bytes for IPv4)
    int port;              // port of the last connect
    uint32_t scope_id;     // zone of the last connect
    int waits;             // waits, with the first 16 recorded below
    int wait_for_write[16];
    int64_t wait_ms[16];
    int sends;
    char sent[256]; // bytes of the last send
    size_t sent_len;
    int recvs;
    size_t recv_room[16]; // room offered to each receive
};
extern fake_conn g_fake_conns[4];
extern fake_net_log g_fake_net;

// Clears the scripts and the log.
void fake_net_reset();
