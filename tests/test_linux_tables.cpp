// The pure pieces of the Linux endpoint tables, fed directly.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstddef>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "platform/linux/addrs.h"
#include "platform/linux/tables.h"
#include "platform/linux/walks.h"
#include "platform/platform.h"

namespace {

std::vector<lt_endpoint> g_got;

void collect(const lt_endpoint *e, void *) { g_got.push_back(*e); }

std::string text_of(const lt_endpoint &e, int ipv6) {
    char buf[64];
    inet_ntop(ipv6 ? AF_INET6 : AF_INET, e.ep.addr, buf, sizeof buf);
    return buf;
}

uint16_t port_of(const lt_endpoint &e) { return ntohs(static_cast<uint16_t>(e.ep.port_field)); }

// Appends one netlink message of the given type and payload to a datagram.
void put_msg(std::vector<unsigned char> &dgram, uint16_t type, const void *payload, size_t n) {
    nlmsghdr h{};
    h.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(n));
    h.nlmsg_type = type;
    h.nlmsg_flags = NLM_F_MULTI;
    const size_t at = dgram.size();
    dgram.resize(at + NLMSG_ALIGN(h.nlmsg_len));
    memcpy(dgram.data() + at, &h, sizeof h);
    if (n) memcpy(dgram.data() + at + NLMSG_HDRLEN, payload, n);
}

void put_socket(std::vector<unsigned char> &dgram, int family, const char *addr, int port,
                int state, uint32_t inode) {
    inet_diag_msg m{};
    m.idiag_family = static_cast<uint8_t>(family);
    m.idiag_state = static_cast<uint8_t>(state);
    m.id.idiag_sport = htons(static_cast<uint16_t>(port));
    m.id.idiag_dport = htons(9);
    inet_pton(family, addr, m.id.idiag_src);
    m.idiag_inode = inode;
    put_msg(dgram, SOCK_DIAG_BY_FAMILY, &m, sizeof m);
}

TEST(DiagRequest, AsksTcpForListenersOnlyAndUdpForEverything) {
    unsigned char buf[LT_REQUEST_SIZE];
    struct {
        nlmsghdr h;
        inet_diag_req_v2 r;
    } req;
    ASSERT_EQ(lt_diag_request(LT_TCP, 1, 77, buf, sizeof buf), sizeof req);
    memcpy(&req, buf, sizeof req);
    EXPECT_EQ(req.h.nlmsg_len, sizeof req);
    EXPECT_EQ(req.h.nlmsg_type, SOCK_DIAG_BY_FAMILY);
    EXPECT_EQ(req.h.nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
    EXPECT_EQ(req.h.nlmsg_seq, 77u);
    EXPECT_EQ(req.r.sdiag_family, AF_INET6);
    EXPECT_EQ(req.r.sdiag_protocol, IPPROTO_TCP);
    EXPECT_EQ(req.r.idiag_states, 1u << TCP_LISTEN);

    ASSERT_EQ(lt_diag_request(LT_UDP, 0, 1, buf, sizeof buf), sizeof req);
    memcpy(&req, buf, sizeof req);
    EXPECT_EQ(req.r.sdiag_family, AF_INET);
    EXPECT_EQ(req.r.sdiag_protocol, IPPROTO_UDP);
    EXPECT_EQ(req.r.idiag_states, ~0u);

    EXPECT_EQ(lt_diag_request(LT_UDP, 0, 1, buf, sizeof req - 1), 0u);
}

TEST(DiagRequest, AsksForEstablishedConnectionsOnly) {
    unsigned char buf[LT_REQUEST_SIZE];
    struct {
        nlmsghdr h;
        inet_diag_req_v2 r;
    } req;
    ASSERT_EQ(lt_diag_request(LT_CONNS, 0, 3, buf, sizeof buf), sizeof req);
    memcpy(&req, buf, sizeof req);
    EXPECT_EQ(req.r.sdiag_family, AF_INET);
    EXPECT_EQ(req.r.sdiag_protocol, IPPROTO_TCP);
    EXPECT_EQ(req.r.idiag_states, 1u << TCP_ESTABLISHED);
}

TEST(DiagRequest, ConnectionsOfBothFamiliesInTheOlderFormWithTheFilter) {
    unsigned char buf[LT_REQUEST_SIZE + 64];
    const unsigned char filter[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct {
        nlmsghdr h;
        inet_diag_req r;
    } req;
    const size_t n = lt_diag_request(LT_CONNS_BOTH, 1, 5, buf, sizeof buf, filter, sizeof filter);
    ASSERT_EQ(n, sizeof req + RTA_SPACE(sizeof filter));
    memcpy(&req, buf, sizeof req);
    EXPECT_EQ(req.h.nlmsg_len, n);
    EXPECT_EQ(req.h.nlmsg_type, TCPDIAG_GETSOCK);
    EXPECT_EQ(req.h.nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
    EXPECT_EQ(req.r.idiag_family, 0); // no family: the kernel walks its table once for both
    EXPECT_EQ(req.r.idiag_states, 1u << TCP_ESTABLISHED);
    rtattr a;
    memcpy(&a, buf + sizeof req, sizeof a);
    EXPECT_EQ(a.rta_type, INET_DIAG_REQ_BYTECODE);
    EXPECT_EQ(memcmp(buf + sizeof req + RTA_LENGTH(0), filter, sizeof filter), 0);
}

TEST(DiagParse, BothFamiliesFromOneDumpEachWithItsAddress) {
    std::vector<unsigned char> d;
    put_socket(d, AF_INET, "127.0.0.1", 80, TCP_ESTABLISHED, 1);
    put_socket(d, AF_INET6, "2001:db8::1", 80, TCP_ESTABLISHED, 2);
    // The older form's replies carry its own type; the newer type is another dump's.
    for (size_t at = 0; at < d.size(); at += NLMSG_ALIGN(NLMSG_LENGTH(sizeof(inet_diag_msg))))
        reinterpret_cast<nlmsghdr *>(d.data() + at)->nlmsg_type = TCPDIAG_GETSOCK;
    put_socket(d, AF_INET, "127.0.0.9", 81, TCP_ESTABLISHED, 3);
    g_got.clear();
    ASSERT_EQ(lt_diag_parse(d.data(), d.size(), LT_CONNS_BOTH, 0, collect, nullptr), LT_MORE);
    ASSERT_EQ(g_got.size(), 2u);
    EXPECT_EQ(g_got[0].ipv6, 0);
    EXPECT_EQ(text_of(g_got[0], 0), "127.0.0.1");
    EXPECT_EQ(g_got[1].ipv6, 1);
    EXPECT_EQ(text_of(g_got[1], 1), "2001:db8::1");
    // A dump of one family reads only its own type, and tells the family too.
    g_got.clear();
    ASSERT_EQ(lt_diag_parse(d.data(), d.size(), LT_CONNS, 0, collect, nullptr), LT_MORE);
    ASSERT_EQ(g_got.size(), 1u);
    EXPECT_EQ(g_got[0].inode, 3u);
    EXPECT_EQ(g_got[0].ipv6, 0);
}

// One RTM_NEWADDR message: the address attributes given, each of the family's size.
void put_addr(std::vector<unsigned char> &dgram, int family, uint32_t ifindex,
              std::vector<std::pair<uint16_t, const char *>> attrs) {
    std::vector<unsigned char> body(sizeof(ifaddrmsg));
    ifaddrmsg m{};
    m.ifa_family = static_cast<uint8_t>(family);
    m.ifa_index = ifindex;
    memcpy(body.data(), &m, sizeof m);
    const size_t size = family == AF_INET6 ? 16 : 4;
    for (const auto &[type, text] : attrs) {
        rtattr a{};
        a.rta_len = static_cast<uint16_t>(RTA_LENGTH(size));
        a.rta_type = type;
        const size_t at = body.size();
        body.resize(at + RTA_ALIGN(a.rta_len));
        memcpy(body.data() + at, &a, sizeof a);
        inet_pton(family, text, body.data() + at + RTA_LENGTH(0));
    }
    put_msg(dgram, RTM_NEWADDR, body.data(), body.size());
}

TEST(AddrParse, EachInterfacesOwnAddressUntilTheEnd) {
    std::vector<unsigned char> dgram;
    put_addr(dgram, AF_INET, 1, {{IFA_ADDRESS, "127.0.0.1"}, {IFA_LOCAL, "127.0.0.1"}});
    // A point-to-point link: IFA_ADDRESS is the peer's, IFA_LOCAL the interface's own.
    put_addr(dgram, AF_INET, 7, {{IFA_ADDRESS, "10.0.0.2"}, {IFA_LOCAL, "10.0.0.1"}});
    put_addr(dgram, AF_INET6, 3, {{IFA_ADDRESS, "fd00::5"}});
    std::vector<std::string> got;
    auto take = [](const la_addr *a, void *ctx) {
        char text[64];
        inet_ntop(a->ipv6 ? AF_INET6 : AF_INET, a->addr, text, sizeof text);
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(text) + "%" +
                                                                std::to_string(a->ifindex));
    };
    EXPECT_EQ(la_parse(dgram.data(), dgram.size(), take, &got), LT_MORE);
    EXPECT_EQ(got, (std::vector<std::string>{"127.0.0.1%1", "10.0.0.1%7", "fd00::5%3"}));
    std::vector<unsigned char> done;
    put_msg(done, NLMSG_DONE, nullptr, 0);
    EXPECT_EQ(la_parse(done.data(), done.size(), take, &got), LT_DONE);
    dgram[0] = 0xff; // a message longer than the datagram
    EXPECT_EQ(la_parse(dgram.data(), dgram.size(), take, &got), LT_ERROR);
}

TEST(Families, IPv4BeforeIPv6EachInItsOrder) {
    std::vector<lt_endpoint> e(5), scratch(5);
    const int family[5] = {1, 0, 1, 0, 0};
    for (int i = 0; i < 5; ++i) {
        e[i] = lt_endpoint{};
        e[i].ipv6 = family[i];
        e[i].inode = static_cast<uint32_t>(i);
    }
    ASSERT_EQ(lt_split_families(e.data(), e.size(), scratch.data()), 3u);
    const uint32_t order[5] = {1, 3, 4, 0, 2};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(e[i].inode, order[i]) << i;
}

// A socket message with the queues, the uid, the remote end and attributes after it.
void put_full_socket(std::vector<unsigned char> &dgram, int family, int state, uint32_t rq,
                     uint32_t wq, uint32_t uid, const std::vector<unsigned char> &attrs) {
    inet_diag_msg m{};
    m.idiag_family = static_cast<uint8_t>(family);
    m.idiag_state = static_cast<uint8_t>(state);
    m.id.idiag_sport = htons(80);
    m.id.idiag_dport = htons(40000);
    inet_pton(family, family == AF_INET6 ? "::1" : "127.0.0.1", m.id.idiag_src);
    inet_pton(family, family == AF_INET6 ? "::2" : "127.0.0.2", m.id.idiag_dst);
    m.idiag_rqueue = rq;
    m.idiag_wqueue = wq;
    m.idiag_uid = uid;
    m.idiag_inode = 9;
    std::vector<unsigned char> payload(sizeof m);
    memcpy(payload.data(), &m, sizeof m);
    payload.insert(payload.end(), attrs.begin(), attrs.end());
    put_msg(dgram, SOCK_DIAG_BY_FAMILY, payload.data(), payload.size());
}

// One attribute of a one-byte value, padded to its alignment.
std::vector<unsigned char> attr_u8(uint16_t type, uint8_t v) {
    std::vector<unsigned char> a(8, 0);
    const uint16_t len = 5;
    memcpy(a.data(), &len, 2);
    memcpy(a.data() + 2, &type, 2);
    a[4] = v;
    return a;
}

TEST(DiagParse, QueuesAccountPeerAndV6Only) {
    std::vector<unsigned char> shutdown = attr_u8(INET_DIAG_SHUTDOWN, 0);
    std::vector<unsigned char> v6only = attr_u8(INET_DIAG_SKV6ONLY, 1);
    std::vector<unsigned char> both = shutdown;
    both.insert(both.end(), v6only.begin(), v6only.end());
    std::vector<unsigned char> dual = attr_u8(INET_DIAG_SKV6ONLY, 0);
    std::vector<unsigned char> cut = v6only;
    cut[0] = 40; // claims more than the message holds: no attribute read
    struct {
        const char *name;
        int proto, family, state;
        std::vector<unsigned char> attrs;
        int32_t queue, backlog, v6only;
    } cases[] = {
        {"listener after another attribute", LT_TCP, AF_INET6, TCP_LISTEN, both, 3, 128, 1},
        {"dual-stack listener", LT_TCP, AF_INET6, TCP_LISTEN, dual, 3, 128, 0},
        {"no attribute", LT_TCP, AF_INET6, TCP_LISTEN, {}, 3, 128, -1},
        {"attribute cut short", LT_TCP, AF_INET6, TCP_LISTEN, cut, 3, 128, -1},
        {"IPv4 listener", LT_TCP, AF_INET, TCP_LISTEN, {}, 3, 128, -1},
        {"UDP: no accept queue", LT_UDP, AF_INET6, TCP_CLOSE, v6only, -1, -1, 1},
        {"connection: no accept queue", LT_CONNS, AF_INET, TCP_ESTABLISHED, {}, -1, -1, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> d;
        put_full_socket(d, c.family, c.state, 3, 128, 1000, c.attrs);
        g_got.clear();
        ASSERT_EQ(
            lt_diag_parse(d.data(), d.size(), c.proto, c.family == AF_INET6, collect, nullptr),
            LT_MORE);
        ASSERT_EQ(g_got.size(), 1u);
        const lt_endpoint &e = g_got[0];
        EXPECT_EQ(e.ep.queue, c.queue);
        EXPECT_EQ(e.ep.backlog, c.backlog);
        EXPECT_EQ(e.ep.v6only, c.v6only);
        EXPECT_EQ(e.ep.account, 1000);
        EXPECT_EQ(ntohs(static_cast<uint16_t>(e.peer_port)), 40000);
        char peer[64];
        inet_ntop(c.family, e.peer, peer, sizeof peer);
        EXPECT_STREQ(peer, c.family == AF_INET6 ? "::2" : "127.0.0.2");
        if (c.proto == LT_CONNS) {
            EXPECT_EQ(e.ep.state, uint32_t{PLAT_TCP_ESTABLISHED});
        }
    }
}

TEST(DiagParse, SocketsOfTheAskedFamilyUntilDone) {
    std::vector<unsigned char> d;
    put_socket(d, AF_INET6, "::ffff:127.0.0.1", 8080, TCP_LISTEN, 111);
    put_socket(d, AF_INET, "10.0.0.1", 1, TCP_LISTEN, 5); // another family: passed over
    put_socket(d, AF_INET6, "fe80::1:2", 443, TCP_ESTABLISHED, 112);
    g_got.clear();
    EXPECT_EQ(lt_diag_parse(d.data(), d.size(), LT_TCP, 1, collect, nullptr), LT_MORE);
    put_msg(d, NLMSG_DONE, "\0\0\0\0", 4);
    put_socket(d, AF_INET6, "::2", 1, TCP_LISTEN, 113); // after the end: never read
    g_got.clear();
    EXPECT_EQ(lt_diag_parse(d.data(), d.size(), LT_TCP, 1, collect, nullptr), LT_DONE);
    ASSERT_EQ(g_got.size(), 2u);
    EXPECT_EQ(text_of(g_got[0], 1), "::ffff:127.0.0.1");
    EXPECT_EQ(port_of(g_got[0]), 8080);
    EXPECT_EQ(g_got[0].ep.state, uint32_t{PLAT_TCP_LISTEN});
    EXPECT_EQ(g_got[0].ep.pid, 0u);
    EXPECT_EQ(g_got[0].inode, 111u);
    EXPECT_EQ(text_of(g_got[1], 1), "fe80::1:2");
    EXPECT_EQ(g_got[1].ep.state, 5u);
}

TEST(DiagParse, UdpHasNoStateAndIpv4UsesFourBytes) {
    std::vector<unsigned char> d;
    put_socket(d, AF_INET, "127.0.0.53", 53, TCP_CLOSE, 9);
    g_got.clear();
    EXPECT_EQ(lt_diag_parse(d.data(), d.size(), LT_UDP, 0, collect, nullptr), LT_MORE);
    ASSERT_EQ(g_got.size(), 1u);
    EXPECT_EQ(text_of(g_got[0], 0), "127.0.0.53");
    EXPECT_EQ(port_of(g_got[0]), 53);
    EXPECT_EQ(g_got[0].ep.state, 0u);
    const unsigned char zero[12] = {};
    EXPECT_EQ(memcmp(g_got[0].ep.addr + 4, zero, 12), 0);
}

TEST(DiagParse, RefusalAndDamageAreErrors) {
    std::vector<unsigned char> err;
    const int code[5] = {-2};
    put_msg(err, NLMSG_ERROR, code, sizeof code);
    EXPECT_EQ(lt_diag_parse(err.data(), err.size(), LT_UDP, 0, collect, nullptr), LT_ERROR);

    std::vector<unsigned char> d;
    put_socket(d, AF_INET, "127.0.0.1", 1, TCP_CLOSE, 9);
    EXPECT_EQ(lt_diag_parse(d.data(), d.size() - 4, LT_UDP, 0, collect, nullptr), LT_ERROR);
    EXPECT_EQ(lt_diag_parse(d.data(), 10, LT_UDP, 0, collect, nullptr), LT_ERROR);
    std::vector<unsigned char> short_msg;
    put_msg(short_msg, SOCK_DIAG_BY_FAMILY, "abcd", 4);
    EXPECT_EQ(lt_diag_parse(short_msg.data(), short_msg.size(), LT_UDP, 0, collect, nullptr),
              LT_ERROR);
}

// One RTM_NEWADDR message: its family and interface, then (attribute type, address
// text) pairs.
void put_addr(std::vector<unsigned char> &dgram, int family, uint32_t ifindex,
              std::initializer_list<std::pair<unsigned short, const char *>> attrs) {
    std::vector<unsigned char> body(NLMSG_ALIGN(sizeof(ifaddrmsg)));
    ifaddrmsg m{};
    m.ifa_family = static_cast<uint8_t>(family);
    m.ifa_index = ifindex;
    memcpy(body.data(), &m, sizeof m);
    for (const auto &[type, text] : attrs) {
        const size_t n = family == AF_INET6 ? 16 : 4;
        rtattr a{static_cast<unsigned short>(RTA_LENGTH(n)), type};
        const size_t at = body.size();
        body.resize(at + RTA_SPACE(n));
        memcpy(body.data() + at, &a, sizeof a);
        inet_pton(family, text, body.data() + at + RTA_LENGTH(0));
    }
    put_msg(dgram, RTM_NEWADDR, body.data(), body.size());
}

std::vector<std::string> g_addrs;

void collect_addr(const la_addr *a, void *) {
    char buf[64];
    inet_ntop(a->ipv6 ? AF_INET6 : AF_INET, a->addr, buf, sizeof buf);
    g_addrs.push_back(std::string(buf) + "@" + std::to_string(a->ifindex));
}

TEST(AddrParse, TheInterfacesOwnAddressesUntilDone) {
    std::vector<unsigned char> d;
    put_addr(d, AF_INET, 1, {{IFA_ADDRESS, "127.0.0.1"}, {IFA_LOCAL, "127.0.0.1"}});
    // A point-to-point link: IFA_ADDRESS is the peer's, IFA_LOCAL this host's.
    put_addr(d, AF_INET, 4, {{IFA_ADDRESS, "10.9.0.1"}, {IFA_LOCAL, "10.9.0.2"}});
    put_addr(d, AF_INET6, 2, {{IFA_ADDRESS, "fe80::1"}});
    put_addr(d, AF_PACKET, 2, {});
    g_addrs.clear();
    EXPECT_EQ(la_parse(d.data(), d.size(), collect_addr, nullptr), LT_MORE);
    EXPECT_EQ(g_addrs, (std::vector<std::string>{"127.0.0.1@1", "10.9.0.2@4", "fe80::1@2"}));
    EXPECT_EQ(la_parse(d.data(), d.size() - 4, collect_addr, nullptr), LT_ERROR); // cut
    put_msg(d, NLMSG_DONE, nullptr, 0);
    put_addr(d, AF_INET, 3, {{IFA_LOCAL, "10.0.0.3"}}); // after the end: not read
    g_addrs.clear();
    EXPECT_EQ(la_parse(d.data(), d.size(), collect_addr, nullptr), LT_DONE);
    EXPECT_EQ(g_addrs.size(), 3u);
    // A refusal, an attribute running past its message.
    std::vector<unsigned char> err;
    const int code[5] = {-1};
    put_msg(err, NLMSG_ERROR, code, sizeof code);
    EXPECT_EQ(la_parse(err.data(), err.size(), collect_addr, nullptr), LT_ERROR);
    std::vector<unsigned char> bad;
    put_addr(bad, AF_INET, 1, {{IFA_LOCAL, "10.0.0.3"}});
    bad[NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifaddrmsg))] = 200; // the attribute's length
    EXPECT_EQ(la_parse(bad.data(), bad.size(), collect_addr, nullptr), LT_ERROR);
}

// Lines as a little-endian kernel prints them: each 32-bit word of an address is a
// number in host byte order.
TEST(ProcLine, SocketLines) {
    struct {
        const char *line;
        int proto, ipv6;
        const char *addr;
        int port;
        uint32_t state, inode;
    } cases[] = {
        {"   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0    "
         "    0 36391 1 00000000781eb730 100 0 0 10 0\n",
         LT_TCP, 0, "127.0.0.1", 8080, PLAT_TCP_LISTEN, 36391},
        {"  12: 0A01A8C0:0035 0100007F:D431 01 00000000:00000000 00:00000000 00000000   101    "
         "    0 4242 2 0000000000000000 20 4 0 10 -1",
         LT_TCP, 0, "192.168.1.10", 53, 5, 4242},
        {"   0: 0000000000000000FFFF00000100007F:0051 00000000000000000000000000000000:0000 0A "
         "00000000:00000000 00:00000000 00000000     0        0 36393 1 00000000019b2917 100",
         LT_TCP, 1, "::ffff:127.0.0.1", 81, PLAT_TCP_LISTEN, 36393},
        {" 1: 00000000000000000000000001000000:0035 00000000000000000000000000000000:0000 07 "
         "00000000:00000000 00:00000000 00000000  0 0 77 2 0000000000000000 0",
         LT_UDP, 1, "::1", 53, 0, 77},
        {" 2: 000080FE00000000FF005452B5D3C1FE:0222 00000000000000000000000000000000:0000 0A "
         "00000000:00000000 00:00000000 00000000  0 0 78 1",
         LT_TCP, 1, "fe80::5254:ff:fec1:d3b5", 546, PLAT_TCP_LISTEN, 78},
    };
    for (const auto &c : cases) {
        lt_endpoint e;
        ASSERT_EQ(lt_proc_line(c.line, c.proto, c.ipv6, &e), 1) << c.line;
        EXPECT_EQ(text_of(e, c.ipv6), c.addr);
        EXPECT_EQ(port_of(e), c.port);
        EXPECT_EQ(e.ep.state, c.state);
        EXPECT_EQ(e.inode, c.inode);
    }
}

TEST(ProcLine, AcceptQueueAccountAndPeer) {
    lt_endpoint e;
    const char *listener = "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000005 00:00000000 "
                           "00000000  1000        0 36391 1 00000000781eb730 100 0 0 10 0";
    ASSERT_EQ(lt_proc_line(listener, LT_TCP, 0, &e), 1);
    EXPECT_EQ(e.ep.queue, 5);
    EXPECT_EQ(e.ep.backlog, -1); // the file does not show the limit
    EXPECT_EQ(e.ep.v6only, -1);
    EXPECT_EQ(e.ep.account, 1000);
    const char *conn = "  12: 0100007F:1F90 0200007F:9C40 01 00000010:00000020 00:00000000 "
                       "00000000   101        0 4242 2 0000000000000000 20 4 0 10 -1";
    ASSERT_EQ(lt_proc_line(conn, LT_CONNS, 0, &e), 1);
    EXPECT_EQ(e.ep.state, uint32_t{PLAT_TCP_ESTABLISHED});
    EXPECT_EQ(e.ep.queue, -1); // a connection's receive queue is no accept queue
    EXPECT_EQ(e.ep.account, 101);
    char peer[16];
    inet_ntop(AF_INET, e.peer, peer, sizeof peer);
    EXPECT_STREQ(peer, "127.0.0.2");
    EXPECT_EQ(ntohs(static_cast<uint16_t>(e.peer_port)), 40000);
}

TEST(ProcLine, OtherLinesAreNotSockets) {
    lt_endpoint e;
    const char *lines[] = {
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode",
        "",
        "   0: 0100007F:1F90 00000000:0000 0A",             // cut short
        "   0: 0100007F 00000000:0000 0A 0:0 0:0 0 0 0 12", // no port
        "   0: 0100007:1F90 00000000:0000 0A 0:0 0:0 0 0 0 12",
        "   0: 0100007F:1F90 00000000:0000 0A 0:0 0:0 0 0 0 x12",
    };
    for (const char *line : lines) EXPECT_EQ(lt_proc_line(line, LT_TCP, 0, &e), 0) << line;
    EXPECT_EQ(lt_proc_line("   0: 0100007F:1F90 00000000:0000 0A 0:0 0:0 0 0 0 12", LT_TCP, 1, &e),
              0); // an IPv4 line where IPv6 is read
}

TEST(FdLinks, OnlySocketLinksGiveAnInode) {
    auto inode_of = [](const char *link) -> long long {
        uint32_t ino = 0;
        return lt_socket_inode(link, strlen(link), &ino) ? static_cast<long long>(ino) : -1LL;
    };
    EXPECT_EQ(inode_of("socket:[36391]"), 36391);
    EXPECT_EQ(inode_of("socket:[4294967295]"), 4294967295LL);
    EXPECT_EQ(inode_of("socket:[4294967296]"), -1);
    EXPECT_EQ(inode_of("socket:[]"), -1);
    EXPECT_EQ(inode_of("socket:[12"), -1);
    EXPECT_EQ(inode_of("socket:[1x]"), -1);
    EXPECT_EQ(inode_of("pipe:[12]"), -1);
    EXPECT_EQ(inode_of("/tmp/socket:[12]"), -1);
}

TEST(ExePath, DeletedMarkIsDropped) {
    char a[] = "/usr/bin/python3.11 (deleted)";
    EXPECT_EQ(lt_exe_trim(a, strlen(a)), 19u);
    EXPECT_STREQ(a, "/usr/bin/python3.11");
    char b[] = "/opt/x (deleted) y";
    lt_exe_trim(b, strlen(b));
    EXPECT_STREQ(b, "/opt/x (deleted) y");
    char c[] = " (deleted)";
    EXPECT_EQ(lt_exe_trim(c, strlen(c)), 0u);
}

TEST(Repeats, LaterCopiesOfAnInodeGoTheOrderStays) {
    std::vector<lt_endpoint> e(7);
    const uint32_t inodes[7] = {50, 10, 50, 0, 30, 10, 0};
    for (size_t i = 0; i < e.size(); ++i) {
        e[i] = lt_endpoint{};
        e[i].inode = inodes[i];
        e[i].ep.pid = static_cast<uint32_t>(100 + i); // which copy survives
    }
    const size_t n = lt_drop_repeats(e.data(), e.size());
    ASSERT_EQ(n, 5u);
    const uint32_t kept[5] = {100, 101, 103, 104, 106}; // endpoints without an inode all stay
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(e[i].ep.pid, kept[i]) << i;
    EXPECT_EQ(lt_drop_repeats(e.data(), 1), 1u);
    EXPECT_EQ(lt_drop_repeats(e.data(), 0), 0u);
}

// Connections waiting in an accept queue have no inode yet: their two ends tell them
// apart.
TEST(Repeats, LaterCopiesOfAConnectionGo) {
    auto make = [](const char *local, int lport, const char *peer, int pport, uint32_t tag) {
        lt_endpoint e{};
        inet_pton(AF_INET6, local, e.ep.addr);
        inet_pton(AF_INET6, peer, e.peer);
        e.ep.port_field = htons(static_cast<uint16_t>(lport));
        e.peer_port = htons(static_cast<uint16_t>(pport));
        e.ep.pid = tag;
        return e;
    };
    std::vector<lt_endpoint> e = {
        make("::1", 80, "::1", 5000, 1), make("::1", 80, "::1", 5001, 2),
        make("::1", 80, "::1", 5000, 3), // the first again
        make("::1", 81, "::1", 5000, 4), make("::2", 80, "::1", 5000, 5),
        make("::1", 80, "::2", 5000, 6), make("::1", 80, "::1", 5001, 7), // the second again
    };
    const size_t n = lt_drop_repeat_conns(e.data(), e.size());
    ASSERT_EQ(n, 5u);
    const uint32_t kept[5] = {1, 2, 4, 5, 6};
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(e[i].ep.pid, kept[i]) << i;
}

TEST(Owners, EveryHolderCountsOnceAndTheTwoLowestAreKept) {
    lt_owner o[] = {{10, 0}, {20, 0}};
    const size_t n = lt_owners_prepare(o, 2);
    // /proc order: ascending pids, a process's descriptors (and threads') together.
    for (uint32_t pid : {1u, 1u, 812u, 812u, 812u, 813u}) lt_owners_note(o, n, 10, pid);
    const lt_owner *a = lt_owners_entry(o, n, 10);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->pid, 1u);
    EXPECT_EQ(a->next, 812u);
    EXPECT_EQ(a->holders, 3u);
    // Out of order, the two lowest still win, and a holder seen again is no new one.
    for (uint32_t pid : {900u, 300u, 500u, 300u, 100u}) lt_owners_note(o, n, 20, pid);
    const lt_owner *b = lt_owners_entry(o, n, 20);
    EXPECT_EQ(b->pid, 100u);
    EXPECT_EQ(b->next, 300u);
    EXPECT_EQ(b->holders, 4u);
    EXPECT_EQ(lt_owners_entry(o, n, 15), nullptr);
}

// Reads of a table whose sockets, in walk order, are numbered by their inodes. Each
// read is a list of pieces; a piece's flags follow its sockets.
struct reads {
    std::vector<uint32_t> inodes;
    std::vector<lt_piece> pieces;

    reads &piece(std::initializer_list<uint32_t> sockets, unsigned flags = 0) {
        inodes.insert(inodes.end(), sockets);
        pieces.push_back({inodes.size(), flags});
        return *this;
    }
    int cover() const { return lt_pieces_cover(inodes.data(), pieces.data(), pieces.size()); }
    int settled() const { return lt_pieces_settled(inodes.data(), pieces.data(), pieces.size()); }
    // The sockets proven closed, in ascending order.
    std::vector<uint32_t> gone() const {
        std::vector<unsigned char> marks(inodes.size());
        EXPECT_EQ(lt_pieces_gone(inodes.data(), pieces.data(), pieces.size(), marks.data()), 0);
        std::set<uint32_t> closed;
        for (size_t i = 0; i < inodes.size(); ++i)
            if (marks[i]) closed.insert(inodes[i]);
        return {closed.begin(), closed.end()};
    }
};

const unsigned FIRST = LT_PIECE_FIRST, TO_END = LT_PIECE_TO_END;

TEST(PiecesCover, OnePieceToTheEndIsWholeAndBreaksNeedAnotherRead) {
    EXPECT_EQ(reads().piece({1, 2, 3}, FIRST | TO_END).cover(), 1);
    EXPECT_EQ(reads().piece({}, FIRST | TO_END).cover(), 1); // an empty table
    // Full when it was sent: what follows it is vouched for by nothing.
    EXPECT_EQ(reads().piece({1, 2, 3}, FIRST).cover(), 0);
    // Two pieces: socket 5 may have been skipped between 4 and 6.
    reads r;
    r.piece({1, 2, 3, 4}, FIRST).piece({6, 7, 8}, TO_END);
    EXPECT_EQ(r.cover(), 0);
    // A read broken elsewhere that lists 4 and then more in one piece closes the gap.
    r.piece({1, 2}, FIRST).piece({3, 4, 5, 6}).piece({7, 8});
    EXPECT_EQ(r.cover(), 1);
}

TEST(PiecesCover, TwoReadsThatSkippedTheSameStretchDoNotVouch) {
    // Closes before the break made both reads jump past 5 and 6.
    reads r;
    r.piece({1, 2, 3, 4}, FIRST).piece({7, 8, 9}, TO_END);
    r.piece({1, 2}, FIRST).piece({3, 4}).piece({7, 8, 9}, TO_END);
    EXPECT_EQ(r.cover(), 0);
    // A third read that walks on from 4 in one piece does, and whatever socket it
    // lists (5, new since) becomes a stepping stone.
    r.piece({1, 2, 3}, FIRST).piece({4, 5, 6, 7}).piece({8, 9});
    EXPECT_EQ(r.cover(), 1);
}

TEST(PiecesCover, RepeatsInsideOneReadJoinItsPieces) {
    // Binds before the break made the second piece start earlier: no gap.
    EXPECT_EQ(reads().piece({1, 2, 3, 4}, FIRST).piece({3, 4, 5, 6}, TO_END).cover(), 1);
    // Sockets newly bound at the head of the chain lead the next piece; it still
    // walks on from 4.
    EXPECT_EQ(reads().piece({1, 2, 3, 4}, FIRST).piece({11, 12, 4, 5}, TO_END).cover(), 1);
}

TEST(PiecesCover, EntriesWithoutAnInodeJoinNothing) {
    reads r;
    r.piece({1, 0}, FIRST).piece({0, 2}, TO_END);
    EXPECT_EQ(r.cover(), 0);
    r.piece({1, 0, 2}, FIRST);
    EXPECT_EQ(r.cover(), 1);
}

TEST(PiecesCover, ALastPieceMustBeReachedFromTheStart) {
    // The last piece ran to the end, but nothing joins it to a first piece.
    reads r;
    r.piece({1, 2}, FIRST).piece({3, 4}).piece({5, 6}, TO_END);
    r.piece({1}, FIRST).piece({4, 5}, TO_END);
    EXPECT_EQ(r.cover(), 0);
    r.piece({2, 3});
    EXPECT_EQ(r.cover(), 1);
}

using closed = std::vector<uint32_t>;

TEST(PiecesGone, ALaterWalkOverASocketsPlaceWithoutItDropsIt) {
    reads r;
    r.piece({1, 2, 3, 4, 5}, FIRST | TO_END).piece({1, 2, 4, 5}, FIRST).piece({5}, TO_END);
    EXPECT_EQ(r.gone(), closed{3});
    // A listener restarted between two reads: the first one's socket is gone, the
    // second one's is not, nor any socket only a later read lists.
    EXPECT_EQ(reads().piece({1, 10, 2}, FIRST).piece({1, 11, 2, 12}, FIRST).gone(), closed{10});
    // The table's start and end stand in for a socket before or after it.
    EXPECT_EQ(reads()
                  .piece({9, 1, 2}, FIRST)
                  .piece({5, 8}, TO_END)
                  .piece({1, 2}, FIRST)
                  .piece({5}, TO_END)
                  .gone(),
              (closed{8, 9}));
    // A whole table in one piece leaves nothing earlier that it does not list.
    EXPECT_EQ(reads().piece({1, 2}, FIRST).piece({5, 6}).piece({6}, FIRST | TO_END).gone(),
              (closed{1, 2, 5}));
}

TEST(PiecesGone, PiecesJoinedAtASharedSocketVouchTogether) {
    reads r;
    r.piece({1, 2, 3, 4, 5}, FIRST | TO_END).piece({1, 2}, FIRST).piece({2, 4, 5}, TO_END);
    EXPECT_EQ(r.gone(), closed{3});
    // Not joined, the break may have skipped 3, still open.
    EXPECT_EQ(reads().piece({1, 2, 3, 4}, FIRST).piece({1, 2}, FIRST).piece({4}).gone(), closed{});
}

TEST(PiecesGone, ASocketOpenAcrossAFirstPieceLiesAfterAllOfIt) {
    // Bursts of binds at the head of the chain (11, 21, 31...) and closes: the second
    // read's first piece holds new sockets alone. Sockets 1 to 3, open all along and
    // not in it, lie after it; a later piece from the start that lists 1 covers it.
    reads r;
    r.piece({11, 12, 1}, FIRST).piece({2, 3}, TO_END);
    r.piece({21, 22}, FIRST).piece({1, 2, 3}, TO_END);
    EXPECT_EQ(r.gone(), closed{});
    r.piece({31, 1}, FIRST).piece({2, 3}, TO_END);
    EXPECT_EQ(r.gone(), (closed{11, 12, 21, 22}));
    // At the end alike, before a last piece.
    EXPECT_EQ(reads()
                  .piece({1, 2}, FIRST)
                  .piece({3, 41}, TO_END)
                  .piece({1, 2, 3}, FIRST)
                  .piece({42, 43}, TO_END)
                  .piece({1, 2}, FIRST)
                  .piece({3, 44}, TO_END)
                  .gone(),
              (closed{41, 42, 43}));
}

TEST(PiecesSettled, EverySocketEarlierReadsListedIsInTheLastOrClosed) {
    reads r;
    r.piece({1, 2, 3}, FIRST | TO_END);
    EXPECT_EQ(r.settled(), 1); // one read
    r.piece({1, 2}, FIRST).piece({3}, TO_END);
    EXPECT_EQ(r.settled(), 1);
    // 11 may be closed, or skipped where the last read broke after new sockets.
    r.piece({11, 1}, FIRST).piece({2, 3}, TO_END).piece({31}, FIRST).piece({1, 2, 3}, TO_END);
    EXPECT_EQ(r.settled(), 0);
    // A first piece walking over it without it settles it.
    r.piece({21, 1, 2}, FIRST).piece({3}, TO_END);
    EXPECT_EQ(r.settled(), 1);
}

TEST(PiecesGone, NoOrderIsTakenFromWherePiecesOfOneReadMeet) {
    // Sockets bound between the two pieces of the first read led its second piece (9),
    // before 1 to 3; the second read, full after 2, never walked over 3.
    reads r;
    r.piece({1, 2, 3}, FIRST).piece({9}).piece({7, 8, 9, 1, 2}, FIRST);
    EXPECT_EQ(r.gone(), closed{});
    // Only what a later walk went over, and only sockets with an inode.
    EXPECT_EQ(reads().piece({1, 0, 3}, FIRST | TO_END).piece({1, 3}, FIRST | TO_END).gone(),
              closed{});
}

TEST(PieceReachedEnd, OnlyWhenTheNextEntryWouldHaveFitted) {
    // Small room between 3328 and 3840 bytes, large room 32000; entries up to 200.
    const auto ended = [](size_t bytes) {
        return lt_piece_reached_end(bytes, 200, 3328, 3840, 32000);
    };
    EXPECT_TRUE(ended(0));
    EXPECT_TRUE(ended(3128));  // fits even the smallest small room
    EXPECT_FALSE(ended(3129)); // may be a small piece that was full
    EXPECT_FALSE(ended(3840));
    EXPECT_TRUE(ended(3841)); // had the large room, with space left
    EXPECT_TRUE(ended(31800));
    EXPECT_FALSE(ended(31801));
    // A room known exactly (a /proc/net read's page).
    EXPECT_TRUE(lt_piece_reached_end(3896, 200, 4096, 4096, 0));
    EXPECT_FALSE(lt_piece_reached_end(3897, 200, 4096, 4096, 0));
}

TEST(Owners, LowestPidWinsWhateverTheOrder) {
    lt_owner o[] = {{30, 9}, {0, 0}, {10, 0}, {30, 0}, {20, 0}};
    const size_t n = lt_owners_prepare(o, 5);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(o[0].inode, 10u);
    EXPECT_EQ(o[2].pid, 0u);
    EXPECT_EQ(lt_owners_note(o, n, 20, 700), 1);
    EXPECT_EQ(lt_owners_note(o, n, 20, 900), 0);
    EXPECT_EQ(lt_owners_note(o, n, 20, 300), 0);
    EXPECT_EQ(lt_owners_note(o, n, 25, 1), 0);
    EXPECT_EQ(lt_owners_note(o, n, 10, 0), 0);
    EXPECT_EQ(lt_owners_find(o, n, 20), 300u);
    EXPECT_EQ(lt_owners_find(o, n, 10), 0u);
    EXPECT_EQ(lt_owners_find(o, n, 25), 0u);
    EXPECT_EQ(lt_owners_find(o, n, 0), 0u);
}

} // namespace
