// Pure pieces of the port forwarders on Linux: what Docker's docker-proxy and dockerd
// say on their command lines, and a string of a JSON file of the engine's state.
// Nothing here touches the system, so tests feed them directly.
#pragma once

#include <cstddef>
#include <cstdint>

// Where a docker-proxy forwards: its protocol, the host address and port it listens
// on, and the container address and port it forwards to (addresses in network order, 4
// bytes used for IPv4; ports in host order).
struct lf_proxy {
    char proto[8];
    int host_ipv6;
    unsigned char host_addr[16];
    int32_t host_port;
    int target_ipv6;
    unsigned char target_addr[16];
    int32_t target_port;
};

// Reads a docker-proxy command line (n bytes of NUL-separated arguments, the program's
// name first) into *out: -proto, -host-ip, -host-port, -container-ip and
// -container-port, each exactly once, as "-flag value", "--flag value" or "-flag=value";
// the protocol tcp, udp or sctp, the addresses as inet_pton reads them, the ports plain
// decimal 1 to 65535. 0 on success; -1 for any other text: a flag it does not know that
// may take a value, an argument that is no flag, a missing or repeated flag.
int lf_docker_proxy(const char *cmdline, size_t n, lf_proxy *out);

// The --data-root, --config-file and --exec-root values of a dockerd command line (n
// bytes of NUL-separated arguments), each copied when given as an absolute path that
// fits; the others are left as they are.
struct lf_dockerd_dirs {
    char *data_root;
    size_t root_size;
    char *config_file;
    size_t config_size;
    char *exec_root;
    size_t exec_size;
};
void lf_dockerd_paths(const char *cmdline, size_t n, const lf_dockerd_dirs &dirs);

// The string value of the first member named key of the top-level object of a JSON
// text of n bytes, or with key "a.b" of member b of the first object that is member a
// (at most 8 keys) (text[n] a NUL), read with a real JSON parser that decodes the text in
// place (it is overwritten): 1 with buf filled, 0 when the text is no JSON object, nests
// deeper than 64 levels, has no such member, its value is no string, holds a NUL or does
// not fit.
int lf_json_string(char *text, size_t n, const char *key, char *buf, size_t size);

// Whether a /proc/PID/status text says the process runs as root: its real, effective,
// saved and file-system uids all 0.
int lf_status_root(const char *text);

// Whether a /proc/PID/uid_map text maps every uid to itself, as the node's own user
// namespace does ("0 0 4294967295", one line): a process in any other user namespace,
// which an account may make, is root only there.
int lf_identity_map(const char *text);

// What podman's conmon says of the container it watches: its id (64 lowercase hex
// digits) and name.
struct lf_conmon {
    char id[65];
    char name[256];
};

// Reads a conmon command line (n bytes of NUL-separated arguments, the program's name
// first) into *out: -c (--cid) and -n (--name) exactly once, -u (--cuuid) the same id
// when given, -b (--bundle) a path ending in "/<id>/userdata"; every other argument one
// of conmon's own flags (with its value where it takes one). The name is a container
// name as podman allows it ([a-zA-Z0-9][a-zA-Z0-9_.-]*). 0 on success; -1 for any other
// text, with *out zeroed.
int lf_conmon_args(const char *cmdline, size_t n, lf_conmon *out);

// Where pasta (passt's mode for namespaces) forwards the socket of proto ("tcp" or "udp")
// on (ipv6, addr) and port, from its command line (n bytes of NUL-separated arguments):
// the -t/--tcp-ports or -u/--udp-ports port mappings, each "none" or a comma-separated list of
// [address/]port[-port][:port[-port]] and exclusions ~port[-port], ports 1 to 65535. 0
// with *target the namespace's port when a mapping forwards that socket; -1 when none does,
// when a mapping forwards ports it cannot tell ("all", "auto"), or for any mapping it
// cannot read whole.
int lf_pasta_target(const char *cmdline, size_t n, const char *proto, int ipv6,
                    const unsigned char *addr, int port, int32_t *target);
