// The operating-system operations the program needs. Exactly one implementation
// (the files of linux/ or of windows/) is linked; everything above this header is
// written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// ---- process start --------------------------------------------------------

// Makes standard output carry bytes unchanged (no line-end translation).
void plat_stdio_init();

// Starts the socket library; 0 when sockets can be used.
int plat_net_start();

// The value of an environment variable as UTF-8 (on Windows converted from the
// system's wide text, never through the ANSI code page; elsewhere the bytes as
// given), whole; null when the variable is not set. It lives until the process ends.
const char *plat_env(const char *name);

// ---- clocks ---------------------------------------------------------------

// Milliseconds on a monotonic clock with an arbitrary epoch: for durations and
// deadlines only, so setting the system time cannot stretch or shrink them.
uint64_t plat_clock_ms();

// The current UTC calendar time to the second; 0 on success.
int plat_utc_now(struct tm *out);

// ---- endpoint tables ------------------------------------------------------

// The four endpoint lists: TCP listening endpoints and bound UDP endpoints, each over
// IPv4 and IPv6.
enum { PLAT_TCP4 = 0, PLAT_TCP6 = 1, PLAT_UDP4 = 2, PLAT_UDP6 = 3, PLAT_LISTS = 4 };

// TCP state numbering shared by every platform (the Windows one).
enum { PLAT_TCP_LISTEN = 2, PLAT_TCP_ESTABLISHED = 5 };

// A detail reading (flag PLAT_DETAIL) also delivers the established TCP connections of
// each family as two more lists, local address and port only.
enum { PLAT_TCP4_CONNS = 4, PLAT_TCP6_CONNS = 5, PLAT_ALL_LISTS = 6 };

// Flags of plat_tables_read.
enum {
    // Every holder of each socket is looked for (no early stop), the established
    // connections are read too, and the socket facts below are filled where the
    // system gives them.
    PLAT_DETAIL = 1,
    // The addresses alone are wanted: no owner is looked for (pid 0, no names), which
    // spares the walk over every process.
    PLAT_ADDRESSES = 2,
    // Every network namespace of the node that has a process in it is read, not only
    // the program's own (Linux; elsewhere there is only the program's own).
    PLAT_EVERY_NETNS = 4,
};

// plat_endpoint.netns of a namespace the program may not name: the hub's account may
// read its lists but not learn which namespace they are.
const int64_t PLAT_NETNS_UNNAMED = -1;

// The netns that plat_netns_fn is told of when the other namespaces could not be looked
// for at all (no descriptor left): some may be missing, none of their lists were read.
const int64_t PLAT_NETNS_UNKNOWN = -2;

// One raw endpoint as the system's table holds it.
struct plat_endpoint {
    unsigned char addr[16]; // local address, network byte order; 4 bytes used for IPv4
    uint32_t port_field;    // low 16 bits: the local port in network byte order
    uint32_t state;         // TCP state (PLAT_TCP_LISTEN = listening); 0 for UDP
    uint32_t pid;           // owning process id, 0 when unknown
    // The owner's name in the system's process list (UTF-8), which names processes the
    // image lookup may not open; null where there is none. Valid during the call only.
    const char *listed_name;
    // Detail readings only (0 otherwise): how many processes hold the socket (0 when
    // unknown; pid is the lowest of them) and the second lowest holder, 0 when none.
    uint32_t holders;
    uint32_t next_pid;
    // Detail readings: 1 when no holder was found but one may have been missed: the
    // reading could not look into every process's descriptors (another account's, or
    // none left to open them with). pid and holders are then unknown, not "none".
    int32_t owner_hidden;
    // The account the system's table names for the socket itself (its creator), -1 when
    // it names none; plat_account_name gives its name.
    int64_t account;
    // TCP listeners: connections waiting in the accept queue and the queue's limit;
    // -1 where the table does not say.
    int32_t queue;
    int32_t backlog;
    // IPv6 sockets: 1 when the socket refuses IPv4, 0 when it takes both; -1 unknown.
    int32_t v6only;
    // The interface the socket is bound to, which is a link-local IPv6 address's zone;
    // 0 when none or unknown.
    uint32_t scope_id;
    // The network namespace of the socket: 0 for the program's own, else the inode
    // number of the namespace, or PLAT_NETNS_UNNAMED.
    int64_t netns;
    // Connections of a port reading (plat_port_read): the remote end, as addr and
    // port_field hold the local one; zero in every other reading.
    unsigned char peer[16];
    uint32_t peer_port_field;
};

typedef void (*plat_endpoint_fn)(int list, const plat_endpoint *ep, void *ctx);

// Tells of one network namespace other than the program's own: a bit (1 << list) for
// every list of it that was read.
typedef void (*plat_netns_fn)(int64_t netns, int readable, void *ctx);

// Reads the four lists as one snapshot of the system, so that a platform can find the
// owners of all of them in one pass, and calls fn for every endpoint, tagged with its
// list: list by list in the order given (each list once), each in table order. A list
// that cannot be read delivers nothing. Returns a bit (1 << list) for every list read.
// Nothing is kept between calls. With PLAT_DETAIL the connection lists come too, each
// after the TCP list of its family, and have their bits. Lists that order does not name
// may go unread.
// With PLAT_EVERY_NETNS the program's own namespace comes first, as above (the bits
// returned are its own); then each other namespace in turn: ns_fn, when given, with
// the lists read of it, and then its endpoints in the same order.
int plat_tables_read(const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx, int flags = 0,
                     plat_netns_fn ns_fn = nullptr);

// Reads the TCP listeners of the program's own network namespace on one port (host
// order) and their established connections, each with its remote end (peer): the lists
// PLAT_TCP4 and PLAT_TCP6, each followed by its connection list, as a detail reading
// delivers them, but only the endpoints on that port, and no owner is looked for. The
// connections come from one dump, as the detail reading's (Windows: the TCP table with
// every state). Returns a bit (1 << list) for every list read; a family without a
// listener on the port has its connection list's bit without a read.
int plat_port_read(int port, plat_endpoint_fn fn, void *ctx);

// Where the program's own lists of this run's last reading came from: sock_diag
// netlink, /proc/net (where any of them did: it tells less), or the Windows tables;
// PLAT_READER_NONE before a reading, or when none of them was read.
enum {
    PLAT_READER_NONE = 0,
    PLAT_READER_SOCK_DIAG = 1,
    PLAT_READER_PROC = 2,
    PLAT_READER_WINDOWS_TABLES = 3,
};
int plat_reader();

// Kinds of facts a reading may have missed for a reason other than a process being gone
// or not the hub's to see (plat_facts_unreadable).
// PLAT_FACT_ACCOUNTS: account names whose lookup ran out of its time (Windows).
// PLAT_FACT_FORWARDERS: the state of a port forwarder's engine (files it may not read,
// or that are not the engine's own). PLAT_FACT_CHURN: a list that kept changing through
// every read of it, so that it may hold a socket closed meanwhile, or miss one bound.
// PLAT_FACT_PUBLISHED: the engines' state of the ports they publish (plat_published_read).
// PLAT_FACT_PODS: a pod a process is in (its cgroup says so) that could not be named.
enum {
    PLAT_FACT_OWNERS = 1,
    PLAT_FACT_SERVICES = 2,
    PLAT_FACT_ACCOUNTS = 4,
    PLAT_FACT_FORWARDERS = 8,
    PLAT_FACT_CHURN = 16,
    PLAT_FACT_PUBLISHED = 32,
    PLAT_FACT_PODS = 64,
};

// A bit for each kind of fact the readings of this run could not read (Linux: descriptor
// folders that could not be opened, out of descriptors say; Windows: a service manager
// that could not be opened or enumerated, account lookups stopped when they had taken
// their time); 0 when every fact could be read.
int plat_facts_unreadable();

// 1 when the address (4 bytes, or 16 when ipv6 != 0, network order) is assigned to an
// interface of this host (the program's own network namespace) or is a loopback
// address; 0 when it is not, or cannot be told.
int plat_addr_is_local(int ipv6, const unsigned char *addr);

// Standard text form of a 4-byte (ipv6 == 0) or 16-byte address; 0 on success.
int plat_addr_text(int ipv6, const unsigned char *addr, char *buf, size_t size);

// The address a text names, as inet_pton reads it: an IPv4 address in dotted decimal
// (*ipv6 = 0, 4 bytes of addr) or an IPv6 address (*ipv6 = 1, 16 bytes), network
// byte order; 0 on success, -1 for any other text.
int plat_addr_parse(const char *text, int *ipv6, unsigned char addr[16]);

// Base name of a process's image file (the last part of its path), NUL-terminated:
// UTF-8 on Windows, the file system's bytes elsewhere, so not always valid UTF-8.
// 0 on success, -1 when no name can be had or it does not fit.
int plat_image_name(uint32_t pid, char *buf, size_t size);

// ---- the file of expected listeners ----------------------------------------

// Where that file is when PORTS_EXPECT names none: /etc/ports/expected on Linux,
// expected.txt in the exe's own folder on Windows; UTF-8. 0 on success.
int plat_policy_path(char *buf, size_t size);

// Outcomes of plat_read_file.
enum {
    PLAT_FILE_READ = 0,        // read (the file may be longer than what was asked for)
    PLAT_FILE_MISSING = 1,     // the path names nothing
    PLAT_FILE_NOT_REGULAR = 2, // a folder, a device, a pipe...: never waited on
    PLAT_FILE_UNREADABLE = -1, // no rights, or a read failed
};

// Reads at most cap bytes from the start of the regular file at path (UTF-8); *got
// the bytes read. An outcome above.
int plat_read_file(const char *path, void *buf, size_t cap, size_t *got);

// ---- the node password file ---------------------------------------------------

// Where the node password file is: /etc/ports/password on Linux, password.txt in the
// exe's own folder on Windows; UTF-8. 0 on success.
int plat_password_path(char *buf, size_t size);

// An outcome of plat_read_secret: a file that every account of the system may read.
enum { PLAT_FILE_EXPOSED = 3 };

// Reads as plat_read_file does, but never a file that every account may read (Linux: its
// mode lets others read it), whose secret is none: PLAT_FILE_EXPOSED, nothing read.
int plat_read_secret(const char *path, void *buf, size_t cap, size_t *got);

// ---- processes --------------------------------------------------------------

// The process that starts services and may hold their sockets before they run (Linux:
// systemd, pid 1); 0 on a system where none holds sockets.
uint32_t plat_service_manager_pid();

// Facts of plat_process that could not be read (a bit each): their text is empty
// without meaning "none".
enum { PLAT_PROC_USER = 1, PLAT_PROC_SERVICE = 2, PLAT_PROC_CONTAINER = 4 };

// What the system says of one process, each text UTF-8 and empty when unknown.
struct plat_process {
    char user[160];     // the account it runs as
    char service[512];  // the service or services it runs (names joined with ",")
    char container[16]; // the container it runs in: the first 12 characters of its id
    char pod_uid[40];   // the Kubernetes pod it runs in: its uid
    int32_t unread;     // PLAT_PROC_* of the facts that could not be read
};

// Fills what can be had of pid; the rest stays empty.
void plat_process_facts(uint32_t pid, plat_process *out);

// The name of an account the tables name (plat_endpoint.account); 0 on success.
int plat_account_name(int64_t account, char *buf, size_t size);

// The name that the engine running it gives the container process pid runs in (container:
// the first 12 characters of its id, as plat_process_facts names it), UTF-8, from the
// engine's own state: 0 with buf filled; -1 when it is not known. The engines are those
// the last plat_tables_read with PLAT_EVERY_NETNS found.
int plat_container_name(uint32_t pid, const char *container, char *buf, size_t size);

// The namespace and name of the Kubernetes pod whose uid is uid (plat_process.pod_uid),
// as the node's kubelet names it (Linux: its log folder /var/log/pods/<namespace>_<name>_
// <uid>, a folder of root's): 0 with both filled, -1 when not known (and then
// PLAT_FACT_PODS is said: the process is in a pod, which pod could not be read).
int plat_pod_of(const char *uid, char *ns, size_t ns_size, char *name, size_t name_size);

// Where the socket of a port forwarder leads (Linux: Docker's docker-proxy): the
// address and port it forwards to, the network namespace that has that address on an
// interface (0 for the program's own, PLAT_NETNS_UNNAMED when not known), the container
// whose processes are in that namespace (the first 12 characters of its id) and its
// name (UTF-8), each empty when not known.
struct plat_forward {
    int32_t ipv6;
    unsigned char addr[16]; // network byte order; 4 bytes used for IPv4
    int32_t port;           // host byte order; 0 when it cannot be told
    int64_t netns;
    char container[16];
    char name[256];
};

// Fills *out when process pid, whose image file is named image, is a port forwarder
// the platform knows and its command line says where its socket of that protocol
// ("tcp" or "udp"), address (4 or 16 bytes) and port (host order) leads; 0 then, -1
// for every other process and for a command line that does not say it plainly. The
// namespaces are those of the last plat_tables_read with PLAT_EVERY_NETNS.
int plat_forward_of(uint32_t pid, const char *image, const char *proto, int ipv6,
                    const unsigned char *addr, int port, plat_forward *out);

// A port that an engine publishes by address translation (a CNI portmap, Docker without
// its proxy), as the engine's own state says: the host side (any: every address of the
// family, addr unused) and where it leads (forward: the container's address, port,
// namespace, id and name), the Kubernetes pod it serves (both empty: none) and the engine
// whose state says it.
enum { PLAT_VIA_CNI = 0, PLAT_VIA_DOCKER = 1 };
struct plat_published {
    char proto[8];
    int32_t any;
    int32_t ipv6;
    unsigned char addr[16];
    int32_t port;
    plat_forward forward;
    char pod_namespace[254];
    char pod_name[254];
    int32_t via;
};
typedef void (*plat_published_fn)(const plat_published *p, void *ctx);

// Calls fn for every publication the engines' state holds whose container's namespace
// still exists (a file left behind by a crash names none), whether or not a socket of the
// host holds its port. What could not be read is said by PLAT_FACT_PUBLISHED.
void plat_published_read(plat_published_fn fn, void *ctx);

// ---- one process, as the process answer tells it ----------------------------

// The largest process id this system gives out.
uint32_t plat_pid_max();

// Times of the process answer: 100-nanosecond units since 1970-01-01 UTC.
const int64_t PLAT_NO_TIME = INT64_MIN; // unknown

// The current time in those units.
int64_t plat_time_now();

// One process as the system's process list shows it.
struct plat_proc_entry {
    uint32_t ppid;   // the parent the system names; 0 for none
    int64_t started; // when it started, PLAT_NO_TIME when that may not be read
    // The base name of its image file, else the name the process list gives (any user
    // may read that one); bytes as the system has them, empty when it has none.
    char name[256];
};

// 0 with out filled; -1 when pid names no process (a thread of one is no process);
// PLAT_PROCS_UNREADABLE when the system's processes cannot be read now (no descriptor or
// memory left), which tells nothing of pid.
enum { PLAT_PROCS_UNREADABLE = -2 };
int plat_proc_entry_of(uint32_t pid, plat_proc_entry *out);

// Whether a fact of a process was read: PLAT_NONE when the process has none or the
// system does not tell it, PLAT_DENIED when the hub's rights do not reach it.
enum { PLAT_READ = 0, PLAT_NONE = 1, PLAT_DENIED = 2 };

// What more the process answer tells. The texts are the system's bytes (UTF-8 on
// Windows) and live in the platform's storage until the next call.
struct plat_proc_more {
    int exe_state;
    const char *exe;     // the full path of its image file
    int32_t exe_deleted; // 1: that file is gone (replaced or deleted); 0: it is there; -1: unknown
    int cwd_state;
    const char *cwd; // its working folder
    int cmdline_state;
    const char *cmdline; // its arguments, each followed by a NUL
    size_t cmdline_len;  // their bytes, NULs included
};

// Fills out for pid; the command line only when want_cmdline (else PLAT_NONE).
void plat_proc_more_of(uint32_t pid, int want_cmdline, plat_proc_more *out);

// Reads the four lists as plat_tables_read does with PLAT_ADDRESSES, looking for one
// owner alone: an endpoint that process pid holds comes with pid, every other with 0,
// found without looking at any other process. *held_known is 0 when the sockets that
// pid holds could not be told (its descriptors are not the hub's to see).
int plat_tables_read_for(uint32_t pid, const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx,
                         int *held_known);

// ---- TCP --------------------------------------------------------------------

typedef intptr_t plat_sock;
const plat_sock PLAT_NO_SOCK = -1;

// Outcome classes of a connection attempt.
enum {
    PLAT_CONNECTED = 0,   // established
    PLAT_IN_PROGRESS = 1, // non-blocking attempt under way
    PLAT_REFUSED = 2,     // actively refused
    PLAT_FAILED = 3,      // any other failure
};

// A new TCP socket of the family (ipv6 == 0: IPv4), or PLAT_NO_SOCK.
plat_sock plat_tcp_socket_of(int ipv6);

// A new IPv4 TCP socket, or PLAT_NO_SOCK.
plat_sock plat_tcp_socket();

// Makes the socket non-blocking; the result is not needed.
void plat_set_nonblocking(plat_sock s);

// Starts a connection to a 4-byte (ipv6 == 0) or 16-byte address, network byte
// order, on the low 16 bits of port, from a socket of that family, through the
// interface scope_id names (a link-local address's zone; 0 for none); an outcome class.
// To a link-local address with a zone the connection leaves from that address itself:
// on a zone where this host does not hold it, it fails instead of reaching another host.
int plat_connect_to(plat_sock s, int ipv6, const unsigned char *addr, int port, uint32_t scope_id);

// Starts a connection to 127.0.0.1 on the low 16 bits of port; an outcome class.
int plat_connect_loopback(plat_sock s, int port);

// Waits until the socket is writable or its connection attempt has failed
// (for_write != 0), or until it is readable; at most ms milliseconds (ms >= 0).
// Above 0: ready; 0: time-out; below 0: failure.
int plat_wait(plat_sock s, int for_write, int64_t ms);

// The pending error of a finished attempt as an outcome class (never IN_PROGRESS).
int plat_connect_result(plat_sock s);

// The local address of a connected socket of either family: *ipv6, the address (4
// or 16 bytes, network order) and the port (host order); 0 on success.
int plat_local_endpoint(plat_sock s, int *ipv6, unsigned char addr[16], int *port);

// The local IPv4 address (4 bytes, network order) and port (host order) of a
// connected socket; 0 on success.
int plat_local_addr(plat_sock s, unsigned char addr[4], int *port);

// Sends without raising signals; bytes taken, 0 or below on failure.
long plat_send(plat_sock s, const void *data, size_t len);

// Receives; above 0: bytes, 0: peer closed, below 0: failure.
long plat_recv(plat_sock s, void *buf, size_t len);

void plat_close(plat_sock s);
