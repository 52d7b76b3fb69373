// The interface addresses of the Linux platform layer: an RTM_GETADDR dump on a routing
// netlink socket, and whether an address is one of this host's.
#include "platform/linux/addrs.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/linux/sys.h"
#include "platform/linux/tables.h"
#include "platform/platform.h"
#include "platform/sock_addr.h"

namespace {

struct addr_reading {
    la_addr_fn fn;
    void *ctx;
};

// One address message; 0, or -1 when it is malformed.
int take_addr(uint16_t type, const unsigned char *body, size_t len, void *ctx) {
    if (type != RTM_NEWADDR) return 0;
    ifaddrmsg m;
    if (len < sizeof m) return -1;
    memcpy(&m, body, sizeof m);
    if (m.ifa_family != AF_INET && m.ifa_family != AF_INET6) return 0;
    la_addr a;
    memset(&a, 0, sizeof a);
    a.ipv6 = m.ifa_family == AF_INET6;
    a.ifindex = m.ifa_index;
    const size_t want = a.ipv6 ? 16 : 4;
    // IFA_LOCAL is the interface's own address where the two differ (a point-to-point
    // link, whose IFA_ADDRESS is the peer's).
    int found = 0; // 1: IFA_ADDRESS, 2: IFA_LOCAL
    for (size_t at = NLMSG_ALIGN(sizeof m); at + sizeof(rtattr) <= len;) {
        rtattr r;
        memcpy(&r, body + at, sizeof r);
        if (r.rta_len < sizeof r || at + r.rta_len > len) return -1;
        const int kind = r.rta_type == IFA_LOCAL ? 2 : r.rta_type == IFA_ADDRESS ? 1 : 0;
        if (kind > found && r.rta_len == RTA_LENGTH(want)) {
            memcpy(a.addr, body + at + RTA_LENGTH(0), want);
            found = kind;
        }
        at += RTA_ALIGN(r.rta_len);
    }
    const addr_reading &reading = *static_cast<const addr_reading *>(ctx);
    if (found) reading.fn(&a, reading.ctx);
    return 0;
}

} // namespace

int la_parse(const void *data, size_t len, la_addr_fn fn, void *ctx) {
    addr_reading reading = {fn, ctx};
    return lt_netlink_walk(data, len, take_addr, &reading);
}

namespace {

// Room for one datagram of a dump: the kernel sizes them to the reader's buffer, up to
// about 32 KiB. Static: the stack may be small.
alignas(nlmsghdr) char g_addr_buf[32768];

} // namespace

int la_dump(int fd, la_addr_fn fn, void *ctx) {
    struct {
        nlmsghdr h;
        ifaddrmsg m;
    } req;
    memset(&req, 0, sizeof req);
    req.h.nlmsg_len = sizeof req;
    req.h.nlmsg_type = RTM_GETADDR;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.h.nlmsg_seq = 1;
    req.m.ifa_family = AF_UNSPEC;
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    if (g_linux_sys.sendto(fd, &req, sizeof req, 0, reinterpret_cast<sockaddr *>(&kernel),
                           sizeof kernel) != static_cast<ssize_t>(sizeof req))
        return -1;
    for (;;) {
        const ssize_t got = g_linux_sys.recv(fd, g_addr_buf, sizeof g_addr_buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        const int r = la_parse(g_addr_buf, static_cast<size_t>(got), fn, ctx);
        if (r == LT_ERROR) return -1;
        if (r == LT_DONE) return 0;
    }
}

namespace {

struct addr_search {
    int ipv6;
    const unsigned char *addr;
    int found;
};

void match_addr(const la_addr *a, void *ctx) {
    addr_search &s = *static_cast<addr_search *>(ctx);
    if (a->ipv6 == s.ipv6 && memcmp(a->addr, s.addr, s.ipv6 ? 16 : 4) == 0) s.found = 1;
}

} // namespace

int plat_addr_is_local(int ipv6, const unsigned char *addr) {
    if (sock_addr_loopback(ipv6, addr)) return 1;
    // A mapped address is the IPv4 address it maps.
    addr_search s = {ipv6, addr, 0};
    if (sock_addr_mapped(ipv6, addr)) {
        s.ipv6 = 0;
        s.addr = addr + 12;
    }
    const int fd = g_linux_sys.socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return 0;
    // An address met before the dump broke off is still one the kernel listed.
    la_dump(fd, match_addr, &s);
    close(fd);
    return s.found;
}
