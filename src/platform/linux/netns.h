// The network namespaces of a Linux node besides the program's own: found from the
// processes in them, entered with setns where the program may (the program has one
// thread, so the whole process moves), else read through a process's /proc/PID/net.
#pragma once

#include <cstddef>
#include <cstdint>

// How a namespace is to be read (ln_enter).
enum {
    LN_ENTERED = 0, // the program is in it now; ln_leave brings it back
    LN_OUTSIDE = 1, // not entered: its lists are in the /proc/net folder given
    LN_GONE = 2,    // no process of it is left
    LN_UNREAD = 3,  // not tried
    LN_HOME = 4,    // the program's own namespace
};

// Finds every network namespace other than the program's own that a process of /proc is
// in, each once, in the order of their first processes; their number. They are kept
// until the next call.
size_t ln_discover();

// Whether the last discovery could not look at the processes (no descriptor left): the
// namespaces it found may not be all.
bool ln_discovery_failed();

// The name of namespace i: its inode number, or PLAT_NETNS_UNNAMED when the program may
// read its lists but not learn which namespace it is.
int64_t ln_netns(size_t i);

// Makes namespace i the one to read: LN_ENTERED, LN_OUTSIDE, LN_GONE, or LN_UNREAD when no
// way in could be tried for want of descriptors. proc_net gets the /proc/PID/net folder
// of a process still in it.
int ln_enter(size_t i, char *proc_net, size_t size);

// Makes the namespace of process pid the one to read: LN_HOME, LN_ENTERED (ln_leave
// brings the program back), LN_OUTSIDE (its lists are in the /proc/net folder given) or
// LN_GONE.
int ln_enter_process(uint32_t pid, char *proc_net, size_t size);

// Back to the program's own namespace; 0 on success.
int ln_leave();

// The namespace whose interfaces hold addr (4 or 16 bytes, network order), of the
// program's own (0) and those of the last discovery, and a process in it (0 for the
// program's own): 1 when exactly one namespace holds it, else 0. Each namespace's
// addresses are read once, at the first call after a discovery.
int ln_holding(int ipv6, const unsigned char *addr, int64_t *netns, uint32_t *pid);

// Every namespace whose interfaces hold addr, as ln_holding finds them: the first max of
// them into netns and pid (a process in it, 0 for the program's own); their number.
size_t ln_holders(int ipv6, const unsigned char *addr, int64_t *netns, uint32_t *pid, size_t max);

// How many discoveries there have been: what was learnt of the namespaces' contents is
// good until the next one.
unsigned ln_discoveries();
