// What the network namespaces' discovery asks of Docker's engine on Linux.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether process pid runs as root (every uid 0) in the node's own user namespace, which
// only root can make a process do.
bool ld_root_of_node(uint32_t pid);

// Whether process pid is Docker's engine run by root: its image is dockerd and it runs
// as root in the node's own user namespace (no other account's engine is believed).
bool ld_is_engine(uint32_t pid);

// The name (config.v2.json "Name", without its "/") that a root Docker engine of the
// last discovery gives the container whose id starts with the 12 characters of
// container: 0 with buf filled, -1 when none does.
int ld_container_name(const char *container, char *buf, size_t size);

struct lcn_docker;

// Calls fn for every running container of each root Docker engine of the last discovery:
// its full id, the inode of its namespace, its name and its published ports as its state
// says. Files that could not be read are said "published".
void ld_published(void (*fn)(const char *full_id, int64_t netns, const char *name,
                             const lcn_docker &ports, void *ctx),
                  void *ctx);

// The folder of the named network namespaces of that engine (its exec root's netns:
// --exec-root, else "exec-root" of its configuration file, else /var/run/docker), as a
// path to resolve beneath its own root (/proc/PID/root): 0 with path filled, -1 when pid
// is no such engine, -2 when it is and its configuration may not be read.
int ld_netns_folder(uint32_t pid, char *path, size_t size);
