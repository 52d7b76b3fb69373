// podman's containers on Linux, as its conmon processes tell them.
#pragma once

#include <cstdint>

struct lf_conmon;
struct lcn_cache;
struct plat_forward;

// Fills *out from process pid when it is podman's conmon run by root in the node's own
// user namespace and its command line is conmon's: 0, else -1.
int lpm_conmon(uint32_t pid, lf_conmon *out);

// Fills *out from process pid's command line when it is one conmon takes: 0, else -1.
// Whose conmon it is, is the caller's to judge.
int lpm_conmon_args(uint32_t pid, lf_conmon *out);

// Where the socket of proto on (ipv6, addr) and port that process pid holds leads, when
// pid is such a conmon and root's CNI cache of its container publishes that socket: 0
// with *out filled, else -1.
int lpm_forward_of(uint32_t pid, const char *proto, int ipv6, const unsigned char *addr, int port,
                   plat_forward *out);

// The namespace a cache names (its sandbox path, a namespace's file of root's): 0 with
// *netns its inode; 1 when it is gone; -1 when it could not be told.
int lcs_netns_of(const lcn_cache &c, int64_t *netns);
