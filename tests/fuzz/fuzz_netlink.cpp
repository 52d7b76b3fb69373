// The sock_diag and RTM_GETADDR reply readers over arbitrary datagrams: no read outside
// the datagram, a defined result, and only well-formed endpoints or addresses handed on.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/linux/addrs.h"
#include "platform/linux/tables.h"

static void take(const lt_endpoint *e, void *ctx) {
    // Touch every byte so a bad pointer shows up here.
    unsigned sum = 0;
    const unsigned char *b = reinterpret_cast<const unsigned char *>(e);
    for (size_t i = 0; i < sizeof *e; ++i) sum += b[i];
    *static_cast<unsigned *>(ctx) += sum | 1;
}

static void take_addr(const la_addr *a, void *ctx) {
    unsigned sum = 0;
    const unsigned char *b = reinterpret_cast<const unsigned char *>(a);
    for (size_t i = 0; i < sizeof *a; ++i) sum += b[i];
    *static_cast<unsigned *>(ctx) += sum | 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    // Bit 0: TCP listeners or UDP; bit 2 turns them into connections, of one family or
    // (the older request form) of both; bit 3 reads interface addresses instead.
    const int proto = data[0] & 4 ? (data[0] & 1 ? LT_CONNS_BOTH : LT_CONNS) : data[0] & 1;
    const int ipv6 = (data[0] >> 1) & 1;
    // An exact-size copy, so a read one past the datagram is caught.
    void *copy = malloc(size - 1 ? size - 1 : 1);
    memcpy(copy, data + 1, size - 1);
    unsigned seen = 0;
    const int rc = data[0] & 8 ? la_parse(copy, size - 1, take_addr, &seen)
                               : lt_diag_parse(copy, size - 1, proto, ipv6, take, &seen);
    free(copy);
    if (rc != LT_ERROR && rc != LT_MORE && rc != LT_DONE) abort();
    return 0;
}
