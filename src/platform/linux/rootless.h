// Forwarders an account runs for namespaces of its own (pasta) on Linux.
#pragma once

#include <cstdint>

struct plat_forward;

// Where the socket of proto on (ipv6, addr) and port that process pid (image: its image's
// name) holds leads, when pid is pasta, run from root's own file, serving a namespace its
// account owns, and its command line forwards that socket: 0 with *out filled (the
// namespace's loopback, the port its command line names, that namespace; no container),
// else -1.
int lr_pasta_forward(uint32_t pid, const char *image, const char *proto, int ipv6,
                     const unsigned char *addr, int port, plat_forward *out);

// The same for podman's rootlessport (an account's rootless container): the namespace it
// is in when its account owns that namespace, the namespace's loopback, port 0 (the
// mapping came on its standard input), and the container of the same account's conmon
// above a process of that namespace (the namespaces of the last plat_tables_read with
// PLAT_EVERY_NETNS): 0 with *out filled, else -1.
int lr_rootlessport_forward(uint32_t pid, const char *image, int ipv6, plat_forward *out);
