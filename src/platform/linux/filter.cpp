// The kernel's filter of a sock_diag dump (inet_diag bytecode) that takes only the
// sockets on some ports: pure, like the rest of the table readers.
#include <cstring>
#include <linux/inet_diag.h>

#include "platform/linux/tables.h"

namespace {

// Bytes of the filter for n ports: a leaf tests one port (two comparisons and a jump
// to the end), a node splits the ports at one comparison.
size_t filter_len(size_t n) { return n == 1 ? 20 : 8 + filter_len(n / 2) + filter_len(n - n / 2); }

struct filter_writer {
    unsigned char *buf;
    size_t total; // the end: reaching it takes the socket, 4 past it drops it
};

void put_op(const filter_writer &w, size_t at, uint8_t code, uint8_t yes, size_t to, int has_value,
            uint16_t value) {
    inet_diag_bc_op op = {code, yes, static_cast<uint16_t>(to - at)};
    memcpy(w.buf + at, &op, sizeof op);
    if (has_value) {
        inet_diag_bc_op v = {0, 0, value};
        memcpy(w.buf + at + sizeof op, &v, sizeof v);
    }
}

// Writes the test of ports[0..n) at at; where it ends.
size_t put_ports(const filter_writer &w, const uint16_t *ports, size_t n, size_t at) {
    const size_t drop = w.total + 4;
    if (n == 1) {
        put_op(w, at, INET_DIAG_BC_S_GE, 8, drop, 1, ports[0]);
        put_op(w, at + 8, INET_DIAG_BC_S_LE, 8, drop, 1, ports[0]);
        put_op(w, at + 16, INET_DIAG_BC_JMP, 4, w.total, 0, 0);
        return at + 20;
    }
    // Below the right half's first port: the left half, which follows; else the right.
    const size_t left = n / 2;
    const size_t right_at = at + 8 + filter_len(left);
    put_op(w, at, INET_DIAG_BC_S_LE, 8, right_at, 1, static_cast<uint16_t>(ports[left] - 1));
    put_ports(w, ports, left, at + 8);
    return put_ports(w, ports + left, n - left, right_at);
}

} // namespace

size_t lt_port_filter(const uint16_t *ports, size_t n, void *buf, size_t size) {
    if (n == 0 || n > LT_FILTER_PORTS) return 0;
    const size_t total = filter_len(n);
    if (total > size || total > LT_FILTER_SIZE) return 0;
    put_ports(filter_writer{static_cast<unsigned char *>(buf), total}, ports, n, 0);
    return total;
}
