// The Linux endpoint tables: the pure parsers fed directly, then the real tables.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/linux_tables.h"
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
    ASSERT_EQ(lt_diag_request(PLAT_TCP, 1, 77, buf, sizeof buf), sizeof req);
    memcpy(&req, buf, sizeof req);
    EXPECT_EQ(req.h.nlmsg_len, sizeof req);
    EXPECT_EQ(req.h.nlmsg_type, SOCK_DIAG_BY_FAMILY);
    EXPECT_EQ(req.h.nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
    EXPECT_EQ(req.h.nlmsg_seq, 77u);
    EXPECT_EQ(req.r.sdiag_family, AF_INET6);
    EXPECT_EQ(req.r.sdiag_protocol, IPPROTO_TCP);
    EXPECT_EQ(req.r.idiag_states, 1u << TCP_LISTEN);

    ASSERT_EQ(lt_diag_request(PLAT_UDP, 0, 1, buf, sizeof buf), sizeof req);
    memcpy(&req, buf, sizeof req);
    EXPECT_EQ(req.r.sdiag_family, AF_INET);
    EXPECT_EQ(req.r.sdiag_protocol, IPPROTO_UDP);
    EXPECT_EQ(req.r.idiag_states, ~0u);

    EXPECT_EQ(lt_diag_request(PLAT_UDP, 0, 1, buf, sizeof req - 1), 0u);
}

TEST(DiagParse, SocketsOfTheAskedFamilyUntilDone) {
    std::vector<unsigned char> d;
    put_socket(d, AF_INET6, "::ffff:127.0.0.1", 8080, TCP_LISTEN, 111);
    put_socket(d, AF_INET, "10.0.0.1", 1, TCP_LISTEN, 5); // another family: passed over
    put_socket(d, AF_INET6, "fe80::1:2", 443, TCP_ESTABLISHED, 112);
    g_got.clear();
    EXPECT_EQ(lt_diag_parse(d.data(), d.size(), PLAT_TCP, 1, collect, nullptr), LT_MORE);
    put_msg(d, NLMSG_DONE, "\0\0\0\0", 4);
    put_socket(d, AF_INET6, "::2", 1, TCP_LISTEN, 113); // after the end: never read
    g_got.clear();
    EXPECT_EQ(lt_diag_parse(d.data(), d.size(), PLAT_TCP, 1, collect, nullptr), LT_DONE);
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
    EXPECT_EQ(lt_diag_parse(d.data(), d.size(), PLAT_UDP, 0, collect, nullptr), LT_MORE);
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
    EXPECT_EQ(lt_diag_parse(err.data(), err.size(), PLAT_UDP, 0, collect, nullptr), LT_ERROR);

    std::vector<unsigned char> d;
    put_socket(d, AF_INET, "127.0.0.1", 1, TCP_CLOSE, 9);
    EXPECT_EQ(lt_diag_parse(d.data(), d.size() - 4, PLAT_UDP, 0, collect, nullptr), LT_ERROR);
    EXPECT_EQ(lt_diag_parse(d.data(), 10, PLAT_UDP, 0, collect, nullptr), LT_ERROR);
    std::vector<unsigned char> short_msg;
    put_msg(short_msg, SOCK_DIAG_BY_FAMILY, "abcd", 4);
    EXPECT_EQ(lt_diag_parse(short_msg.data(), short_msg.size(), PLAT_UDP, 0, collect, nullptr),
              LT_ERROR);
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
         PLAT_TCP, 0, "127.0.0.1", 8080, PLAT_TCP_LISTEN, 36391},
        {"  12: 0A01A8C0:0035 0100007F:D431 01 00000000:00000000 00:00000000 00000000   101    "
         "    0 4242 2 0000000000000000 20 4 0 10 -1",
         PLAT_TCP, 0, "192.168.1.10", 53, 5, 4242},
        {"   0: 0000000000000000FFFF00000100007F:0051 00000000000000000000000000000000:0000 0A "
         "00000000:00000000 00:00000000 00000000     0        0 36393 1 00000000019b2917 100",
         PLAT_TCP, 1, "::ffff:127.0.0.1", 81, PLAT_TCP_LISTEN, 36393},
        {" 1: 00000000000000000000000001000000:0035 00000000000000000000000000000000:0000 07 "
         "00000000:00000000 00:00000000 00000000  0 0 77 2 0000000000000000 0",
         PLAT_UDP, 1, "::1", 53, 0, 77},
        {" 2: 000080FE00000000FF005452B5D3C1FE:0222 00000000000000000000000000000000:0000 0A "
         "00000000:00000000 00:00000000 00000000  0 0 78 1",
         PLAT_TCP, 1, "fe80::5254:ff:fec1:d3b5", 546, PLAT_TCP_LISTEN, 78},
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
    for (const char *line : lines) EXPECT_EQ(lt_proc_line(line, PLAT_TCP, 0, &e), 0) << line;
    EXPECT_EQ(
        lt_proc_line("   0: 0100007F:1F90 00000000:0000 0A 0:0 0:0 0 0 0 12", PLAT_TCP, 1, &e),
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

// ---- the real tables --------------------------------------------------------

struct found {
    int port;
    uint32_t pid;
    int count;
};

void find_port(const plat_endpoint *ep, void *ctx) {
    found *f = static_cast<found *>(ctx);
    if (ntohs(static_cast<uint16_t>(ep->port_field)) != f->port) return;
    f->pid = ep->pid;
    ++f->count;
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

TEST(RealTables, OwnSocketsAreFoundWithThisProcess) {
    const int tcp = loopback_socket(AF_INET, SOCK_STREAM);
    const int udp = loopback_socket(AF_INET6, SOCK_DGRAM);
    ASSERT_GE(tcp, 0);
    ASSERT_GE(udp, 0) << "no IPv6 loopback";

    found t{bound_port(tcp), 0, 0}, u{bound_port(udp), 0, 0}, none{t.port, 0, 0};
    plat_tables_open();
    EXPECT_EQ(plat_table_read(PLAT_TCP, 0, find_port, &t), 0);
    EXPECT_EQ(plat_table_read(PLAT_UDP, 1, find_port, &u), 0);
    EXPECT_EQ(plat_table_read(PLAT_UDP, 0, find_port, &none), 0);
    EXPECT_EQ(plat_table_read(7, 0, find_port, &none), -1);
    plat_tables_close();
    EXPECT_EQ(plat_table_read(PLAT_TCP, 0, find_port, &none), -1); // closed: nothing to read
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(t.pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(u.count, 1);
    EXPECT_EQ(u.pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(none.count, 0);
    close(tcp);
    close(udp);
}

// Makes socket(AF_NETLINK, ...) fail in this process from now on, as a sandbox might.
bool refuse_netlink() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

TEST(RealTables, WithoutNetlinkTheProcFilesServe) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // 1: no filter, 2: netlink still open, 3: socket not found, 4: wrong owner.
        if (!refuse_netlink()) _exit(1);
        if (socket(AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG) >= 0) _exit(2);
        const int udp = loopback_socket(AF_INET6, SOCK_DGRAM);
        found u{bound_port(udp), 0, 0};
        plat_tables_open();
        plat_table_read(PLAT_UDP, 1, find_port, &u);
        plat_tables_close();
        _exit(u.count != 1 ? 3 : u.pid != static_cast<uint32_t>(getpid()) ? 4 : 0);
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
    while (fgets(line, sizeof line, f))
        if (lt_proc_line(line, PLAT_TCP, 0, &e) && port_of(e) == port &&
            e.ep.state == PLAT_TCP_LISTEN && text_of(e, 0) == "127.0.0.1")
            ++seen;
    fclose(f);
    close(tcp);
    EXPECT_EQ(seen, 1);
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

} // namespace
