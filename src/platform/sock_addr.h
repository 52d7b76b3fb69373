// Socket addresses of either family, the same in both socket layers (BSD sockets and
// Winsock 2). Included by a platform file after its system's socket headers.
#pragma once

#include <cstdint>
#include <cstring>

// The socket address of a 4-byte (ipv6 == 0) or 16-byte address and a port, with the
// IPv6 zone scope_id (0 for none); its length.
inline int sock_addr_make(int ipv6, const unsigned char *addr, int port, uint32_t scope_id,
                          sockaddr_storage *to) {
    memset(to, 0, sizeof *to);
    if (ipv6) {
        sockaddr_in6 *a = reinterpret_cast<sockaddr_in6 *>(to);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port & 0xffff));
        memcpy(&a->sin6_addr, addr, 16);
        a->sin6_scope_id = scope_id;
        return sizeof *a;
    }
    sockaddr_in *a = reinterpret_cast<sockaddr_in *>(to);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port & 0xffff));
    memcpy(&a->sin_addr, addr, 4);
    return sizeof *a;
}

// The family, address bytes and port (host order) of a socket address; 0 when it is
// of either family.
inline int sock_addr_read(const sockaddr_storage *a, int *ipv6, unsigned char addr[16], int *port) {
    if (a->ss_family == AF_INET6) {
        const sockaddr_in6 *v6 = reinterpret_cast<const sockaddr_in6 *>(a);
        *ipv6 = 1;
        memcpy(addr, &v6->sin6_addr, 16);
        *port = ntohs(v6->sin6_port);
        return 0;
    }
    if (a->ss_family != AF_INET) return -1;
    const sockaddr_in *v4 = reinterpret_cast<const sockaddr_in *>(a);
    *ipv6 = 0;
    memcpy(addr, &v4->sin_addr, 4);
    *port = ntohs(v4->sin_port);
    return 0;
}

// inet_pton of either family, IPv4 tried first; 0 on success.
inline int sock_addr_parse(const char *text, int *ipv6, unsigned char addr[16]) {
    for (int v6 = 0; v6 < 2; ++v6) {
        if (inet_pton(v6 ? AF_INET6 : AF_INET, text, addr) == 1) {
            *ipv6 = v6;
            return 0;
        }
    }
    return -1;
}

// Whether a 4-byte (ipv6 == 0) or 16-byte address is IPv4-mapped (::ffff:a.b.c.d).
inline bool sock_addr_mapped(int ipv6, const unsigned char *addr) {
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return ipv6 && memcmp(addr, prefix, sizeof prefix) == 0;
}

// A link-local IPv6 address (fe80::/10), which names a host only with its zone.
inline bool sock_addr_link_local(int ipv6, const unsigned char *addr) {
    return ipv6 && addr[0] == 0xfe && (addr[1] & 0xc0) == 0x80;
}

// A loopback address: 127.0.0.0/8, ::1, or an IPv4-mapped form of the first.
inline bool sock_addr_loopback(int ipv6, const unsigned char *addr) {
    static const unsigned char v6_loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (sock_addr_mapped(ipv6, addr)) return addr[12] == 127;
    return ipv6 ? memcmp(addr, v6_loopback, 16) == 0 : addr[0] == 127;
}
