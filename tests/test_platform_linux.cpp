// The Linux platform layer against the real system: clocks, the endpoint tables (with
// faults put in through the system-call table), image names.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/stat.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "no_netlink.h"
#include "platform/linux/checked_files.h"
#include "platform/linux/sys.h"
#include "platform/linux/tables.h"
#include "platform/platform.h"

namespace {

TEST(Clock, MonotonicAndInMilliseconds) {
    const uint64_t a = plat_clock_ms();
    timespec pause{0, 30 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    const uint64_t b = plat_clock_ms();
    EXPECT_GE(b - a, 29u);
    EXPECT_LT(b - a, 10000u);
}

TEST(Clock, UtcNowIsCalendarTime) {
    struct tm t;
    ASSERT_EQ(plat_utc_now(&t), 0);
    EXPECT_GE(t.tm_year + 1900, 2024);
    EXPECT_LT(t.tm_mon, 12);
}

TEST(Start, SocketsNeedNoStart) { EXPECT_EQ(plat_net_start(), 0); }

// ---- the real tables --------------------------------------------------------

const int kAllLists[PLAT_LISTS] = {PLAT_TCP4, PLAT_TCP6, PLAT_UDP4, PLAT_UDP6};
const int kEveryList = (1 << PLAT_LISTS) - 1;

struct delivered {
    int list;
    int port;
    uint32_t pid;
    const char *listed_name;
};

struct reading {
    int readable;
    std::vector<delivered> eps;
    std::vector<int> lists; // the list of each delivery, in delivery order

    // How often (list, port) was delivered; *pid gets the owner of the last one.
    int count(int list, int port, uint32_t *pid = nullptr) const {
        int n = 0;
        for (const delivered &d : eps)
            if (d.list == list && d.port == port) {
                ++n;
                if (pid) *pid = d.pid;
            }
        return n;
    }
};

reading read_tables(const int order[PLAT_LISTS] = kAllLists, int flags = 0) {
    reading r;
    r.readable = plat_tables_read(
        order,
        [](int list, const plat_endpoint *ep, void *ctx) {
            reading &r = *static_cast<reading *>(ctx);
            r.eps.push_back(
                {list, ntohs(static_cast<uint16_t>(ep->port_field)), ep->pid, ep->listed_name});
            if (r.lists.empty() || r.lists.back() != list) r.lists.push_back(list);
        },
        &r, flags);
    return r;
}

int bound_port(int fd) {
    sockaddr_storage a{};
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
    return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port
                                         : reinterpret_cast<sockaddr_in *>(&a)->sin_port);
}

// A socket on the loopback address of family, on a port the kernel picks; TCP listens.
int loopback_socket(int family, int type) {
    const int fd = socket(family, type, 0);
    sockaddr_storage a{};
    a.ss_family = static_cast<sa_family_t>(family);
    if (family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&a)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    else
        reinterpret_cast<sockaddr_in6 *>(&a)->sin6_addr = in6addr_loopback;
    const socklen_t n = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), n) != 0 ||
        (type == SOCK_STREAM && listen(fd, 1) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sockets of this process: one TCP listener on 127.0.0.1 and many UDP sockets on ::1,
// enough that each source hands the UDP list over in several pieces.
struct own_sockets {
    int tcp = -1;
    std::vector<int> udp;
    std::vector<int> udp_ports;

    explicit own_sockets(int udp_count = 1) {
        tcp = loopback_socket(AF_INET, SOCK_STREAM);
        for (int i = 0; i < udp_count; ++i) {
            const int fd = loopback_socket(AF_INET6, SOCK_DGRAM);
            if (fd < 0) break;
            udp.push_back(fd);
            udp_ports.push_back(bound_port(fd));
        }
    }
    ~own_sockets() {
        if (tcp >= 0) close(tcp);
        for (int fd : udp) close(fd);
    }
    bool ready(int udp_count) const {
        return tcp >= 0 && static_cast<int>(udp.size()) == udp_count;
    }

    // Each own socket delivered exactly once, with this process as its owner (or no
    // owner at all when owners is false).
    void expect_each_once(const reading &r, bool owners = true) const {
        const uint32_t self = owners ? static_cast<uint32_t>(getpid()) : 0;
        uint32_t pid = 1;
        EXPECT_EQ(r.count(PLAT_TCP4, bound_port(tcp), &pid), 1);
        EXPECT_EQ(pid, self);
        int wrong = 0;
        for (int port : udp_ports) {
            pid = 1;
            wrong += r.count(PLAT_UDP6, port, &pid) != 1 || pid != self;
        }
        EXPECT_EQ(wrong, 0) << "of " << udp_ports.size() << " UDP sockets";
    }
};

TEST(RealTables, OwnSocketsOnceWithThisProcessInTheOrderAsked) {
    own_sockets own;
    ASSERT_TRUE(own.ready(1)) << "no IPv6 loopback";
    const reading r = read_tables();
    EXPECT_EQ(r.readable, kEveryList);
    own.expect_each_once(r);
    EXPECT_EQ(r.count(PLAT_UDP4, own.udp_ports[0]) + r.count(PLAT_TCP6, bound_port(own.tcp)), 0);
    for (const delivered &d : r.eps) EXPECT_EQ(d.listed_name, nullptr);
    // Lists come one after the other as asked, the ones without endpoints left out.
    const int reversed[PLAT_LISTS] = {PLAT_UDP6, PLAT_UDP4, PLAT_TCP6, PLAT_TCP4};
    const reading back = read_tables(reversed);
    ASSERT_GE(back.lists.size(), 2u);
    EXPECT_EQ(back.lists.front(), PLAT_UDP6);
    EXPECT_EQ(back.lists.back(), PLAT_TCP4);
    for (size_t i = 1; i < back.lists.size(); ++i) EXPECT_GT(back.lists[i - 1], back.lists[i]);
}

TEST(RealTables, AddressesAloneReadTheListsAskedAndLookForNoOwner) {
    own_sockets own;
    ASSERT_TRUE(own.ready(1)) << "no IPv6 loopback";
    const int tcp4_only[PLAT_LISTS] = {PLAT_TCP4, -1, -1, -1};
    const reading r = read_tables(tcp4_only, PLAT_ADDRESSES);
    EXPECT_EQ(r.readable, 1 << PLAT_TCP4);
    uint32_t pid = 1;
    EXPECT_EQ(r.count(PLAT_TCP4, bound_port(own.tcp), &pid), 1);
    EXPECT_EQ(pid, 0u);
    EXPECT_EQ(r.lists, std::vector<int>{PLAT_TCP4});
}

std::vector<lt_endpoint> g_got;

void collect(const lt_endpoint *e, void *) { g_got.push_back(*e); }

// A detail reading of this process's sockets: a listener that a forked child holds too,
// with connections accepted and waiting, and both kinds of "::" socket.
TEST(RealTables, DetailReadingFindsEveryHolderAndTheSocketFacts) {
    const int tcp = loopback_socket(AF_INET, SOCK_STREAM);
    ASSERT_GE(tcp, 0);
    ASSERT_EQ(listen(tcp, 6), 0);
    const int port = bound_port(tcp);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> fds;
    for (int i = 0; i < 3; ++i) {
        fds.push_back(socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_EQ(connect(fds.back(), reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    }
    fds.push_back(accept(tcp, nullptr, nullptr)); // one accepted, two waiting
    int dual[2] = {-1, -1};
    for (int v6only = 0; v6only < 2; ++v6only) {
        dual[v6only] = socket(AF_INET6, SOCK_STREAM, 0);
        setsockopt(dual[v6only], IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        ASSERT_EQ(bind(dual[v6only], reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
        ASSERT_EQ(listen(dual[v6only], 1), 0);
    }
    // A connection to the v6-only listener: both families' connections in one reading.
    sockaddr_in6 to6{};
    to6.sin6_family = AF_INET6;
    to6.sin6_port = htons(static_cast<uint16_t>(bound_port(dual[1])));
    to6.sin6_addr = in6addr_loopback;
    fds.push_back(socket(AF_INET6, SOCK_STREAM, 0));
    ASSERT_EQ(connect(fds.back(), reinterpret_cast<sockaddr *>(&to6), sizeof to6), 0);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char c;
        close(go[1]);
        _exit(read(go[0], &c, 1) < 0);
    }
    close(go[0]);

    struct seen {
        int port;
        plat_endpoint ep;
        int list;
    };
    std::vector<seen> got;
    const int readable = plat_tables_read(
        kAllLists,
        [](int list, const plat_endpoint *ep, void *ctx) {
            static_cast<std::vector<seen> *>(ctx)->push_back(
                {ntohs(static_cast<uint16_t>(ep->port_field)), *ep, list});
        },
        &got, PLAT_DETAIL);
    close(go[1]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(readable, (1 << PLAT_ALL_LISTS) - 1);
    const uint32_t self = static_cast<uint32_t>(getpid()), kid = static_cast<uint32_t>(child);
    int listeners = 0, accepted = 0, accepted6 = 0;
    for (const seen &s : got) {
        if (s.list == PLAT_TCP4 && s.port == port) {
            ++listeners;
            EXPECT_EQ(s.ep.holders, 2u);
            EXPECT_EQ(s.ep.pid, std::min(self, kid));
            EXPECT_EQ(s.ep.next_pid, std::max(self, kid));
            EXPECT_EQ(s.ep.queue, 2);
            EXPECT_EQ(s.ep.backlog, 6);
            EXPECT_EQ(s.ep.v6only, -1);
            EXPECT_EQ(s.ep.account, static_cast<int64_t>(getuid()));
        }
        if (s.list == PLAT_TCP4_CONNS) {
            EXPECT_EQ(s.ep.state, uint32_t{PLAT_TCP_ESTABLISHED});
            accepted += s.port == port; // the server's ends, waiting or not
        }
        if (s.list == PLAT_TCP6_CONNS) accepted6 += s.port == bound_port(dual[1]);
        for (int v6only = 0; v6only < 2; ++v6only)
            if (s.list == PLAT_TCP6 && s.port == bound_port(dual[v6only])) {
                EXPECT_EQ(s.ep.v6only, v6only);
            }
    }
    EXPECT_EQ(listeners, 1);
    EXPECT_EQ(accepted, 3);
    EXPECT_EQ(accepted6, 1);
    for (int fd : fds) close(fd);
    close(tcp);
    close(dual[0]);
    close(dual[1]);
}

// The port filter as the kernel runs it: an established dump asked with it holds the
// connections on the ports given and no others, whatever their number.
TEST(RealTables, KernelTakesThePortFilter) {
    const int tcp = loopback_socket(AF_INET, SOCK_STREAM);
    ASSERT_GE(tcp, 0);
    const int port = bound_port(tcp);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    const int client_port = bound_port(client);
    // Local ports of the connections a filtered dump gives, among this test's two.
    auto dump = [&](const std::vector<uint16_t> &ports) {
        static unsigned char filter[LT_FILTER_SIZE];
        static unsigned char req[size_t{LT_REQUEST_SIZE} + LT_FILTER_SIZE];
        const size_t flen = lt_port_filter(ports.data(), ports.size(), filter, sizeof filter);
        EXPECT_GT(flen, 0u);
        const size_t n = lt_diag_request(LT_CONNS, 0, 1, req, sizeof req, filter, flen);
        const int fd = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        EXPECT_EQ(sendto(fd, req, n, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel),
                  static_cast<ssize_t>(n));
        std::vector<int> seen;
        alignas(nlmsghdr) static char buf[32768];
        for (int rc = LT_MORE; rc == LT_MORE;) {
            const ssize_t got = recv(fd, buf, sizeof buf, 0);
            if (got <= 0) break;
            g_got.clear();
            rc = lt_diag_parse(buf, static_cast<size_t>(got), LT_CONNS, 0, collect, nullptr);
            EXPECT_NE(rc, LT_ERROR); // the kernel took the bytecode
            for (const lt_endpoint &e : g_got) {
                const int p = ntohs(static_cast<uint16_t>(e.ep.port_field));
                if (p == port || p == client_port) seen.push_back(p);
            }
        }
        close(fd);
        return seen;
    };
    EXPECT_EQ(dump({static_cast<uint16_t>(port)}), std::vector<int>{port});
    EXPECT_EQ(dump({static_cast<uint16_t>(client_port)}), std::vector<int>{client_port});
    // Many ports around both: only the one asked for.
    std::vector<uint16_t> many;
    for (int p = 1; p < 65536 && many.size() < LT_FILTER_PORTS; p += 31)
        if (p != client_port && p != port) many.push_back(static_cast<uint16_t>(p));
    many.back() = static_cast<uint16_t>(port);
    std::sort(many.begin(), many.end());
    many.erase(std::unique(many.begin(), many.end()), many.end());
    EXPECT_EQ(dump(many), std::vector<int>{port});
    close(client);
    close(tcp);
}

TEST(RealTables, WithoutNetlinkTheProcFilesServe) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // 1: no filter, 2: netlink still open, 3: socket not found, 4: wrong owner.
        if (!refuse_netlink()) _exit(1);
        if (socket(AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG) >= 0) _exit(2);
        const int udp = loopback_socket(AF_INET6, SOCK_DGRAM);
        uint32_t pid = 0;
        const int n = read_tables().count(PLAT_UDP6, bound_port(udp), &pid);
        _exit(n != 1 ? 3 : pid != static_cast<uint32_t>(getpid()) ? 4 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(RealTables, ProcLinesOfTheKernelParse) {
    const int tcp = loopback_socket(AF_INET, SOCK_STREAM);
    ASSERT_GE(tcp, 0);
    const int port = bound_port(tcp);
    FILE *f = fopen("/proc/net/tcp", "r");
    ASSERT_NE(f, nullptr);
    char line[512];
    int seen = 0;
    lt_endpoint e;
    char text[64];
    while (fgets(line, sizeof line, f))
        if (lt_proc_line(line, LT_TCP, 0, &e) &&
            ntohs(static_cast<uint16_t>(e.ep.port_field)) == port &&
            e.ep.state == PLAT_TCP_LISTEN && inet_ntop(AF_INET, e.ep.addr, text, sizeof text) &&
            strcmp(text, "127.0.0.1") == 0)
            ++seen;
    fclose(f);
    close(tcp);
    EXPECT_EQ(seen, 1);
}

// ---- faults put in through the system-call table ------------------------------

// Calls to the stand-ins since the last netlink socket was made (or since the start).
int g_calls;
int g_fail_at;      // the call that fails, counted from 1
const char *g_file; // the /proc/net file whose reads the stand-ins fail

int netlink_refused(int domain, int type, int protocol) {
    if (domain == AF_NETLINK) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    return socket(domain, type, protocol);
}

int netlink_counted(int domain, int type, int protocol) {
    if (domain == AF_NETLINK) g_calls = 0;
    return socket(domain, type, protocol);
}

ssize_t recv_breaks(int fd, void *buf, size_t len, int flags) {
    if (++g_calls == g_fail_at) {
        errno = ENOBUFS;
        return -1;
    }
    return recv(fd, buf, len, flags);
}

ssize_t recv_garbled(int fd, void *buf, size_t len, int flags) {
    const ssize_t n = recv(fd, buf, len, flags);
    // A reply whose first message claims more than the datagram holds.
    if (++g_calls == g_fail_at && n >= static_cast<ssize_t>(sizeof(nlmsghdr))) {
        nlmsghdr h;
        memcpy(&h, buf, sizeof h);
        h.nlmsg_len = static_cast<uint32_t>(n) + 4;
        memcpy(buf, &h, sizeof h);
    }
    return n;
}

ssize_t sendto_fails(int, const void *, size_t, int, const sockaddr *, socklen_t) {
    errno = EPERM;
    return -1;
}

int open_fails_for_file(const char *path, int flags) {
    if (strcmp(path, g_file) == 0) {
        errno = EACCES;
        return -1;
    }
    return open(path, flags);
}

int g_file_fd = -1;

int open_marks_file(const char *path, int flags) {
    const int fd = open(path, flags);
    if (strcmp(path, g_file) == 0) {
        g_file_fd = fd;
        g_calls = 0;
    }
    return fd;
}

ssize_t read_breaks_in_file(int fd, void *buf, size_t len) {
    if (fd == g_file_fd && ++g_calls == g_fail_at) {
        errno = EIO;
        return -1;
    }
    return read(fd, buf, len);
}

void *realloc_fails(void *, size_t) { return nullptr; }

void *realloc_fails_once(void *p, size_t size) {
    return ++g_calls == 1 ? nullptr : realloc(p, size);
}

void *malloc_fails(size_t) { return nullptr; }

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls = 0;
        g_fail_at = 0;
        g_file = "";
        g_file_fd = -1;
    }
    void TearDown() override { g_linux_sys = LINUX_SYS_REAL; }
};

// Replaces the netlink receive; call `at` of each dump is the faulty one.
void fault_replies(ssize_t (*recv)(int, void *, size_t, int), int at) {
    g_linux_sys.socket = netlink_counted;
    g_linux_sys.recv = recv;
    g_fail_at = at;
}

// Many UDP sockets, so that a dump comes in several datagrams and /proc/net/udp6 in
// several reads.
const int kManyUdp = 200;

// A broken sock_diag dump falls back to /proc/net with every socket once; a list that
// neither source gives is unreadable and delivers nothing, the others still come.
TEST_F(Faults, BrokenSources) {
    own_sockets own(kManyUdp);
    ASSERT_TRUE(own.ready(kManyUdp));
    struct {
        const char *name;
        void (*set)();
        bool udp6_lost;
    } cases[] = {
        {"no netlink socket", [] { g_linux_sys.socket = netlink_refused; }, false},
        {"request refused", [] { g_linux_sys.sendto = sendto_fails; }, false},
        {"first reply lost", [] { fault_replies(recv_breaks, 1); }, false},
        // After the first datagram has delivered sockets: the dump broke off midway.
        {"dump broke off", [] { fault_replies(recv_breaks, 2); }, false},
        {"reply malformed", [] { fault_replies(recv_garbled, 2); }, false},
        {"no netlink, file cannot be opened",
         [] {
             g_linux_sys.socket = netlink_refused;
             g_linux_sys.open = open_fails_for_file;
         },
         true},
        {"no netlink, read fails midway",
         [] {
             g_linux_sys.socket = netlink_refused;
             g_linux_sys.open = open_marks_file;
             g_linux_sys.read = read_breaks_in_file;
             g_fail_at = 2;
         },
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        g_linux_sys = LINUX_SYS_REAL;
        g_file = "/proc/net/udp6";
        c.set();
        const reading r = read_tables();
        if (!c.udp6_lost) {
            EXPECT_EQ(r.readable, kEveryList);
            own.expect_each_once(r);
            continue;
        }
        EXPECT_EQ(r.readable, kEveryList & ~(1 << PLAT_UDP6));
        EXPECT_EQ(r.count(PLAT_TCP4, bound_port(own.tcp)), 1);
        for (const delivered &d : r.eps) ASSERT_NE(d.list, PLAT_UDP6);
    }
}

TEST_F(Faults, MemoryRunningOut) {
    own_sockets own(kManyUdp);
    ASSERT_TRUE(own.ready(kManyUdp));
    // No endpoint can be kept: every list with one fails, nothing is delivered.
    g_linux_sys.realloc = realloc_fails;
    reading r = read_tables();
    EXPECT_EQ(r.readable & (1 << PLAT_TCP4 | 1 << PLAT_UDP6), 0);
    EXPECT_TRUE(r.eps.empty());
    // A list whose first read ran out is read again from the other source.
    g_linux_sys = LINUX_SYS_REAL;
    g_calls = 0;
    g_linux_sys.realloc = realloc_fails_once;
    r = read_tables();
    EXPECT_EQ(r.readable, kEveryList);
    own.expect_each_once(r);
    // Without room to find owners, every endpoint is still there, owner unknown.
    g_linux_sys = LINUX_SYS_REAL;
    g_linux_sys.malloc = malloc_fails;
    r = read_tables();
    EXPECT_EQ(r.readable, kEveryList);
    own.expect_each_once(r, false);
}

// One port's reading: its listener and the connections to it, with their remote ends,
// from sock_diag and from the /proc/net files alike, and what it was read from.
TEST_F(Faults, PortReadingGivesEachConnectionsRemoteEnd) {
    const int tcp = loopback_socket(AF_INET, SOCK_STREAM);
    ASSERT_GE(tcp, 0);
    const int port = bound_port(tcp);
    std::vector<int> held;
    std::vector<int> client_ports;
    for (int k = 0; k < 2; ++k) {
        const int c = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7f000002); // 127.0.0.2
        ASSERT_EQ(bind(c, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        held.push_back(c);
        held.push_back(accept(tcp, nullptr, nullptr));
        client_ports.push_back(bound_port(c));
    }
    struct seen {
        std::vector<int> listeners;                     // their ports
        std::vector<std::pair<std::string, int>> peers; // remote address and port
    };
    for (const bool netlink : {true, false}) {
        if (!netlink) g_linux_sys.socket = netlink_refused;
        seen s;
        const int readable = plat_port_read(
            port,
            [](int list, const plat_endpoint *ep, void *ctx) {
                seen &s = *static_cast<seen *>(ctx);
                const int p = ntohs(static_cast<uint16_t>(ep->port_field));
                if (list == PLAT_TCP4 || list == PLAT_TCP6) s.listeners.push_back(p);
                if (list == PLAT_TCP4_CONNS) {
                    char text[INET_ADDRSTRLEN] = "";
                    inet_ntop(AF_INET, ep->peer, text, sizeof text);
                    s.peers.push_back({text, ntohs(static_cast<uint16_t>(ep->peer_port_field))});
                }
            },
            &s);
        EXPECT_EQ(readable & (1 << PLAT_TCP4 | 1 << PLAT_TCP4_CONNS),
                  1 << PLAT_TCP4 | 1 << PLAT_TCP4_CONNS);
        // The port alone: no other listener, and not the clients' own ends.
        EXPECT_EQ(s.listeners, std::vector<int>{port}) << netlink;
        std::sort(s.peers.begin(), s.peers.end());
        std::sort(client_ports.begin(), client_ports.end());
        const std::vector<std::pair<std::string, int>> want = {{"127.0.0.2", client_ports[0]},
                                                               {"127.0.0.2", client_ports[1]}};
        EXPECT_EQ(s.peers, want) << netlink;
        EXPECT_EQ(plat_reader(), netlink ? PLAT_READER_SOCK_DIAG : PLAT_READER_PROC);
    }
    for (int fd : held) close(fd);
    close(tcp);
}

// ---- addresses and image names -------------------------------------------------

// Every address the C library names for an interface is this host's; a documentation
// address is not.
TEST(RealAddresses, TheInterfacesAddressesAreLocal) {
    ifaddrs *all = nullptr;
    ASSERT_EQ(getifaddrs(&all), 0);
    for (const ifaddrs *i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        int ipv6 = 0;
        const unsigned char *bytes;
        if (i->ifa_addr->sa_family == AF_INET)
            bytes = reinterpret_cast<const unsigned char *>(
                &reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr);
        else if (i->ifa_addr->sa_family == AF_INET6 && (ipv6 = 1))
            bytes = reinterpret_cast<const unsigned char *>(
                &reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr)->sin6_addr);
        else
            continue;
        EXPECT_EQ(plat_addr_is_local(ipv6, bytes), 1) << i->ifa_name;
    }
    freeifaddrs(all);
    const unsigned char v4[4] = {203, 0, 113, 77},
                        mapped_loop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 9};
    EXPECT_EQ(plat_addr_is_local(0, v4), 0); // TEST-NET-3, which no host is given
    EXPECT_EQ(plat_addr_is_local(1, mapped_loop), 1);
}

TEST(RealTables, AddressText) {
    const unsigned char v4[4] = {10, 0, 0, 7};
    unsigned char v6[16] = {};
    v6[15] = 1;
    char buf[64];
    ASSERT_EQ(plat_addr_text(0, v4, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "10.0.0.7");
    ASSERT_EQ(plat_addr_text(1, v6, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "::1");
    EXPECT_EQ(plat_addr_text(0, v4, buf, 4), -1);
}

TEST(RealProcess, AccountOfThisProcessAndOfUidsWithoutEntry) {
    plat_process p;
    plat_process_facts(static_cast<uint32_t>(getpid()), &p);
    const passwd *pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_STREQ(p.user, pw->pw_name);
    char name[64];
    ASSERT_EQ(plat_account_name(0, name, sizeof name), 0);
    EXPECT_STREQ(name, "root");
    uint32_t unnamed = 54321;
    while (getpwuid(unnamed)) ++unnamed;
    ASSERT_EQ(plat_account_name(unnamed, name, sizeof name), 0);
    EXPECT_EQ(std::string(name), std::to_string(unnamed));
    EXPECT_EQ(plat_account_name(-1, name, sizeof name), -1);
    EXPECT_EQ(plat_account_name(unnamed, name, 3), -1); // does not fit
    // A process that is gone has no facts.
    plat_process_facts(0x7ffffff0u, &p);
    EXPECT_STREQ(p.user, "");
    EXPECT_STREQ(p.service, "");
}

TEST(RealImageName, OwnNameWholeOrNotAtAll) {
    char buf[256];
    ASSERT_EQ(plat_image_name(static_cast<uint32_t>(getpid()), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "platform_tests");
    EXPECT_EQ(plat_image_name(static_cast<uint32_t>(getpid()), buf, 14), -1); // would be cut
    EXPECT_EQ(plat_image_name(0, buf, sizeof buf), -1);
}

// Runs a copy of sleep under the given file name, deletes the file under it (and
// puts another file of that name in its place when asked); the name the platform
// then gives for the process.
std::string name_of_copy(const char *file_name, bool replace) {
    char dir[] = "/tmp/ports-exe-XXXXXX";
    if (!mkdtemp(dir)) return "(no dir)";
    const std::string copy = std::string(dir) + "/" + file_name;
    if (system(("cp /bin/sleep '" + copy + "'").c_str()) != 0) return "(no copy)";
    const pid_t child = fork();
    if (child < 0) return "(no fork)";
    if (child == 0) {
        execl(copy.c_str(), "sleeper", "20", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Wait (bounded) until the child runs the copy.
    char buf[256] = "";
    for (int i = 0; i < 200; ++i) {
        if (plat_image_name(static_cast<uint32_t>(child), buf, sizeof buf) == 0 &&
            strcmp(buf, file_name) == 0)
            break;
        usleep(10000);
    }
    unlink(copy.c_str());
    const int replaced = replace ? system(("cp /bin/sleep '" + copy + "'").c_str()) : 0;
    const int rc = plat_image_name(static_cast<uint32_t>(child), buf, sizeof buf);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    unlink(copy.c_str());
    rmdir(dir);
    if (replaced != 0) return "(no copy)";
    return rc == 0 ? buf : "(failed)";
}

TEST(RealImageName, DeletedImageKeepsItsName) {
    EXPECT_EQ(name_of_copy("sleeper", false), "sleeper");
    // A file that is named like the kernel's mark keeps its whole name while it is there,
    // and loses only the kernel's own mark once it is gone.
    EXPECT_EQ(name_of_copy("svc (deleted)", false), "svc (deleted)");
}

TEST(RealImageName, ImageReplacedOnDiskIsStillGone) {
    // An upgrade replaces the file under a running program: the old image is gone even
    // though a file of its name exists, so the kernel's mark is dropped.
    EXPECT_EQ(name_of_copy("daemon", true), "daemon");
}

// The engine's files as the checked reader opens them: beneath a root, links of the
// expected owner only, never a FIFO or a device, never another account's file.
TEST(CheckedFiles, OnlyTheOwnersRegularFilesAndLinks) {
    if (geteuid() != 0) GTEST_SKIP() << "making another account's files needs root";
    char dir[] = "/tmp/ports-checked-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    auto put = [&](const char *name, const char *text) {
        FILE *f = fopen((d + "/" + name).c_str(), "w");
        fputs(text, f);
        fclose(f);
    };
    put("state.json", "{\"Name\":\"/web\"}");
    put("foreign.json", "{}");
    ASSERT_EQ(chown((d + "/foreign.json").c_str(), 65534, 65534), 0);
    ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("state.json", (d + "/own-link").c_str()), 0);
    ASSERT_EQ(symlink(d.c_str(), (d + "/own-dir-link").c_str()), 0);
    ASSERT_EQ(symlink("state.json", (d + "/foreign-link").c_str()), 0);
    ASSERT_EQ(lchown((d + "/foreign-link").c_str(), 65534, 65534), 0);
    ASSERT_EQ(symlink("/dev/zero", (d + "/device-link").c_str()), 0);
    const int root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    auto outcome = [](int got) {
        std::string out("#");
        return out.append(std::to_string(got));
    };
    auto read = [&](const std::string &path, int64_t owner) {
        char *text;
        size_t n;
        const int got = lc_read(root, path.c_str(), owner, 1 << 20, &text, &n);
        std::string out = got == PLAT_FILE_READ ? std::string(text, n) : outcome(got);
        free(text);
        return out;
    };
    const std::string bad = outcome(PLAT_FILE_UNREADABLE), odd = outcome(PLAT_FILE_NOT_REGULAR);
    EXPECT_EQ(read(d + "/state.json", 0), "{\"Name\":\"/web\"}");
    EXPECT_EQ(read(d + "/own-link", 0), "{\"Name\":\"/web\"}");
    EXPECT_EQ(read(d + "/own-dir-link/state.json", 0), "{\"Name\":\"/web\"}");
    EXPECT_EQ(read(d + "/foreign-link", 0), bad);
    EXPECT_EQ(read(d + "/foreign.json", 0), bad);
    EXPECT_EQ(read(d + "/foreign.json", 65534), "{}");
    EXPECT_EQ(read(d + "/fifo", 0), odd); // at once: it is never opened
    EXPECT_EQ(read(d + "/device-link", 0), odd);
    EXPECT_EQ(read(d + "/../" + d.substr(5) + "/state.json", 0), bad);
    EXPECT_EQ(read(d + "/none", 0), outcome(PLAT_FILE_MISSING));
    EXPECT_EQ(read(d + "/state.json", 0).size(), 15u);
    char *text;
    size_t n;
    EXPECT_EQ(lc_read(root, (d + "/state.json").c_str(), 0, 8, &text, &n), PLAT_FILE_UNREADABLE);
    // The operator's own path: any owner, links followed, still never waited on.
    size_t got;
    char buf[64];
    EXPECT_EQ(plat_read_file((d + "/foreign-link").c_str(), buf, sizeof buf, &got), PLAT_FILE_READ);
    EXPECT_EQ(plat_read_file((d + "/fifo").c_str(), buf, sizeof buf, &got), PLAT_FILE_NOT_REGULAR);
    close(root);
    const std::string rm = "rm -rf " + d;
    EXPECT_EQ(system(rm.c_str()), 0);
}

} // namespace
