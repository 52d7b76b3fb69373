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
