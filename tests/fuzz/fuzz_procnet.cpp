// The /proc readers over arbitrary text: /proc/net socket lines, descriptor links and
// image paths.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const int proto = data[0] & 1;
    const int ipv6 = (data[0] >> 1) & 1;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    const std::string line = text.substr(0, text.find('\0'));
    lt_endpoint e;
    memset(&e, 0xa5, sizeof e);
    const int rc = lt_proc_line(line.c_str(), proto, ipv6, &e);
    if (rc != 0 && rc != 1) abort();
    if (rc == 1 && proto == LT_UDP && e.ep.state != 0) abort();

    // The link and path readers take a length, not a terminator: exact-size copies.
    char *link = static_cast<char *>(malloc(text.size() + 1));
    memcpy(link, text.data(), text.size());
    uint32_t inode = 0;
    const int is_socket = lt_socket_inode(link, text.size(), &inode);
    if (is_socket && text.compare(0, 8, "socket:[") != 0) abort();
    const size_t n = lt_exe_trim(link, text.size());
    if (n > text.size() || memcmp(link, text.data(), n) != 0) abort();
    free(link);
    return 0;
}
