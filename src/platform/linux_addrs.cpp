#include "linux_addrs.h"

#include <cerrno>
#include <cstring>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include "linux_tables.h"

int la_parse(const void *data, size_t len, la_addr_fn fn, void *ctx) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (len > 0) {
        nlmsghdr h;
        if (len < sizeof h) return LT_ERROR;
        memcpy(&h, p, sizeof h);
        if (h.nlmsg_len < sizeof h || h.nlmsg_len > len) return LT_ERROR;
        if (h.nlmsg_type == NLMSG_DONE) return LT_DONE;
        if (h.nlmsg_type == NLMSG_ERROR) return LT_ERROR;
        if (h.nlmsg_type == RTM_NEWADDR) {
            ifaddrmsg m;
            if (h.nlmsg_len < NLMSG_LENGTH(sizeof m)) return LT_ERROR;
            memcpy(&m, p + NLMSG_HDRLEN, sizeof m);
            const size_t size = m.ifa_family == AF_INET6 ? 16 : 4;
            la_addr a;
            memset(&a, 0, sizeof a);
            a.ipv6 = m.ifa_family == AF_INET6;
            a.ifindex = m.ifa_index;
            // IFA_LOCAL is an IPv4 interface's own address; IFA_ADDRESS is the peer's on a
            // point-to-point link, and the only one IPv6 gives.
            bool local = false, address = false;
            unsigned char other[16];
            const unsigned char *at = p + NLMSG_LENGTH(sizeof m);
            size_t left = h.nlmsg_len - NLMSG_LENGTH(sizeof m);
            while (left >= sizeof(rtattr)) {
                rtattr attr;
                memcpy(&attr, at, sizeof attr);
                if (attr.rta_len < sizeof attr || attr.rta_len > left) return LT_ERROR;
                const size_t payload = attr.rta_len - RTA_LENGTH(0);
                if (payload == size && attr.rta_type == IFA_LOCAL) {
                    memcpy(a.addr, at + RTA_LENGTH(0), size);
                    local = true;
                } else if (payload == size && attr.rta_type == IFA_ADDRESS) {
                    memcpy(other, at + RTA_LENGTH(0), size);
                    address = true;
                }
                const size_t step = RTA_ALIGN(attr.rta_len);
                if (step >= left) break;
                at += step;
                left -= step;
            }
            if (!local && address) memcpy(a.addr, other, size);
            if ((m.ifa_family == AF_INET || m.ifa_family == AF_INET6) && (local || address))
                fn(&a, ctx);
        }
        const size_t step = NLMSG_ALIGN(h.nlmsg_len);
        if (step >= len) break;
        p += step;
        len -= step;
    }
    return LT_MORE;
}

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
    if (sendto(fd, &req, sizeof req, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof req))
        return -1;
    // Static: the stack may be small.
    alignas(nlmsghdr) static char buf[32768];
    for (;;) {
        const ssize_t got = recv(fd, buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        const int r = la_parse(buf, static_cast<size_t>(got), fn, ctx);
        if (r == LT_ERROR) return -1;
        if (r == LT_DONE) return 0;
    }
}
