// Pure reading of a CNI plugin's cache file (libcni's cniCacheV1, which podman and
// containerd keep under /var/lib/cni/results/<network>-<id>-<interface>): the container
// it was written for, its port mappings, its addresses and its namespace. Nothing here
// touches the system, so tests and the fuzzer feed it directly.
#pragma once

#include <cstddef>
#include <cstdint>

// One port mapping of the portmap plugin: protocol, host address (host_any: none given,
// every address) and port, the container's port.
struct lcn_map {
    char proto[8];
    int32_t host_port;
    int32_t container_port;
    int host_any;
    int host_ipv6;
    unsigned char host_addr[16];
};

struct lcn_addr {
    int ipv6;
    unsigned char addr[16];
};

enum { LCN_MAX_MAPS = 64, LCN_MAX_ADDRS = 4 };

struct lcn_cache {
    char id[65];        // containerId: 64 lowercase hexadecimal digits
    char netns[256];    // the sandbox path of an interface of the result
    lcn_addr addrs[LCN_MAX_ADDRS];
    int n_addrs;
    lcn_map maps[LCN_MAX_MAPS];
    int n_maps;
    char pod_namespace[254]; // cniArgs K8S_POD_NAMESPACE, K8S_POD_NAME ("" when none)
    char pod_name[254];
};

// Reads a cache file's text (n bytes, text[n] a NUL; decoded in place) into *out: its
// "kind" must be "cniCacheV1" and "containerId" an id; "capabilityArgs"."portMappings"
// entries spelled as podman writes them (hostPort, containerPort, protocol, hostIP) or as
// containerd does (HostPort, ContainerPort, Protocol, HostIP), each with ports 1 to 65535
// as plain integers, a protocol tcp, udp or sctp (any case) and an address inet_pton
// reads, or none; "result"."ips" addresses in CIDR form; "result"."interfaces" sandbox
// paths (absolute). 0 on success; -1 when the text is none of this (an entry it cannot
// read whole, more than the room for them, nesting deeper than 64), *out then zeroed.
int lcn_read(char *text, size_t n, lcn_cache *out);

// The ports a Docker container publishes and its addresses, as its config.v2.json keeps
// them: "NetworkSettings"."Ports" ({"80/tcp": [{"HostIp": "0.0.0.0", "HostPort": "8080"}]
// or null}, the bindings in force, as docker inspect shows them) and the "IPAddress" and
// "GlobalIPv6Address" of each of "NetworkSettings"."Networks".
struct lcn_docker {
    lcn_addr addrs[LCN_MAX_ADDRS];
    int n_addrs;
    lcn_map maps[LCN_MAX_MAPS];
    int n_maps;
};

// Reads a config.v2.json text as lcn_read does: a port key "<port>/<proto>", a HostPort
// plain decimal 1 to 65535, a HostIp an address or "" (every address). 0 on success; -1
// for any other text, *out then zeroed.
int lcn_docker_read(char *text, size_t n, lcn_docker *out);
