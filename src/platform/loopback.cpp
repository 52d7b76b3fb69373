// The loopback calls of the platform layer, over its calls for either family: the
// same on every platform.
#include <cstring>

#include "platform/platform.h"

plat_sock plat_tcp_socket() { return plat_tcp_socket_of(0); }

int plat_connect_loopback(plat_sock s, int port) {
    static const unsigned char loopback[4] = {127, 0, 0, 1};
    return plat_connect_to(s, 0, loopback, port, 0);
}

int plat_local_addr(plat_sock s, unsigned char addr[4], int *port) {
    unsigned char any[16];
    int ipv6 = 0, own = 0;
    if (plat_local_endpoint(s, &ipv6, any, &own) != 0 || ipv6) return -1;
    memcpy(addr, any, 4);
    *port = own;
    return 0;
}
