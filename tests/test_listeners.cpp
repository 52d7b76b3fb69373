#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "capture.h"
#include "fake_platform.h"
#include "listeners.h"

namespace {

const std::string kHead = "{\"ok\":true,\"action\":\"listeners\",\"source\":\"windows-tables\",";

class Listeners : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_tables_reset();
        g_sock_count = 0;
    }

    // win_add_row with an address given as text and a port in host order.
    static void add(const char *proto, const char *addr, int port, uint32_t pid = 0) {
        const int ipv6 = strchr(addr, ':') != nullptr;
        unsigned char raw[16] = {};
        inet_pton(ipv6 ? AF_INET6 : AF_INET, addr, raw);
        win_add_row(proto, ipv6, raw, htons(static_cast<uint16_t>(port)), pid);
    }

    static std::string body() { return capture_stdout(write_listeners_body); }

    static std::string row_text(const sock_row &r) {
        return std::string(r.proto) + " " + r.bind_addr + " " + std::to_string(r.port) + " " +
               std::to_string(r.scope) + " " + std::to_string(r.pid) + " " + r.comm;
    }

    static std::vector<std::string> rows() {
        std::vector<std::string> out;
        for (int i = 0; i < g_sock_count; ++i) out.push_back(row_text(g_socks[i]));
        return out;
    }
};

TEST(Scope, FirstMatchingRuleDecides) {
    struct {
        const char *text;
        int scope;
    } cases[] = {
        {"", SCOPE_SPECIFIC},
        {"0.0.0.0", SCOPE_WILDCARD},
        {"::", SCOPE_WILDCARD},
        {"*", SCOPE_WILDCARD},
        {"127.0.0.1", SCOPE_LOOPBACK},
        {"127.0.0.53", SCOPE_LOOPBACK},
        {"127.", SCOPE_LOOPBACK},
        {"127", SCOPE_SPECIFIC},
        {"::1", SCOPE_LOOPBACK},
        // An IPv4-mapped address has the scope of its IPv4 address.
        {"::ffff:127.0.0.1", SCOPE_LOOPBACK},
        {"::ffff:127.9.9.9", SCOPE_LOOPBACK},
        {"::ffff:0.0.0.0", SCOPE_WILDCARD},
        {"::ffff:10.1.2.3", SCOPE_SPECIFIC},
        {"::ffff:", SCOPE_SPECIFIC},
        {"::ffff:7f00:1", SCOPE_SPECIFIC},
        {"::ffff:0:127.0.0.1", SCOPE_SPECIFIC},
        {"0.0.0.0 ", SCOPE_SPECIFIC},
        {"::1%lo", SCOPE_SPECIFIC},
        {"192.168.1.10", SCOPE_SPECIFIC},
        {"fe80::1", SCOPE_SPECIFIC},
        {"unknown", SCOPE_SPECIFIC},
    };
    for (const auto &c : cases) EXPECT_EQ(scope_of(c.text), c.scope) << "'" << c.text << "'";
}

TEST_F(Listeners, RowTakesAddressPortScopeAndProcessName) {
    fake_image(4242, "svchost.exe");
    add("tcp", "127.0.0.1", 8080, 4242);
    add("udp", "::", 53, 4242);
    add("tcp", "fe80::1", 65535, 7);
    EXPECT_EQ(rows(),
              (std::vector<std::string>{"tcp 127.0.0.1 8080 0 4242 svchost.exe",
                                        "udp :: 53 1 4242 svchost.exe", "tcp fe80::1 65535 2 7 "}));
    EXPECT_EQ(g_fake_image_calls, 3); // one lookup per row, no cache
}

TEST_F(Listeners, MappedAddressTakesItsIpv4ScopeWhateverItsText) {
    // Wine writes ::ffff:0.0.0.0 as ::ffff:0:0; the scope comes from the address.
    g_fake_addr6_text = "::ffff:0:0";
    add("udp", "::ffff:0.0.0.0", 53, 0);
    g_fake_addr6_text = "::ffff:7f00:1";
    add("tcp", "::ffff:127.0.0.1", 80, 0);
    add("tcp", "::ffff:10.0.0.1", 81, 0);
    EXPECT_EQ(rows(),
              (std::vector<std::string>{"udp ::ffff:0:0 53 1 0 ", "tcp ::ffff:7f00:1 80 0 0 ",
                                        "tcp ::ffff:7f00:1 81 2 0 "}));
}

TEST_F(Listeners, PortComesFromTheLowSixteenBitsOnly) {
    const unsigned char lo[4] = {127, 0, 0, 1};
    win_add_row("tcp", 0, lo, 0xabcd0000u | htons(8080), 0);
    win_add_row("tcp", 0, lo, 0xabcd0000u, 0); // port 0: dropped
    win_add_row("udp", 0, lo, 0, 0);
    ASSERT_EQ(g_sock_count, 1);
    EXPECT_EQ(g_socks[0].port, 8080);
}

TEST_F(Listeners, AddressWithoutTextIsUnknown) {
    g_fake_addr_fail = 1;
    add("tcp", "127.0.0.1", 80);
    g_fake_addr_fail = 0;
    g_fake_addr_empty = 1;
    add("udp", "0.0.0.0", 81);
    EXPECT_EQ(rows(), (std::vector<std::string>{"tcp unknown 80 2 0 ", "udp unknown 81 2 0 "}));
}

TEST_F(Listeners, ProcessNameIsTheSystemsOrEmpty) {
    const std::string long_name(120, 'n');
    fake_image(1, "svc.exe");
    fake_image(2, long_name.c_str());
    fake_image(3, "python3 (x)\\y");
    add("tcp", "127.0.0.1", 1, 1);
    add("tcp", "127.0.0.1", 2, 2);
    add("tcp", "127.0.0.1", 3, 3);
    add("tcp", "127.0.0.1", 4, 99); // no name: pid kept
    EXPECT_EQ(rows(), (std::vector<std::string>{"tcp 127.0.0.1 1 0 1 svc.exe",
                                                "tcp 127.0.0.1 2 0 2 " + long_name.substr(0, 95),
                                                "tcp 127.0.0.1 3 0 3 python3 (x)\\y",
                                                "tcp 127.0.0.1 4 0 99 "}));
}

TEST_F(Listeners, ProcessNameIsValidUtf8CutBetweenCharacters) {
    const std::string a94(94, 'a'), a93(93, 'a');
    struct Case {
        std::string name, comm;
    } cases[] = {
        {"caf\xc3\xa9.exe", "caf\xc3\xa9.exe"}, // valid: unchanged
        {"\xe8\xa1\xa8\xe7\xa4\xba.exe", "\xe8\xa1\xa8\xe7\xa4\xba.exe"},
        {a94 + "\xc3\xa9", a94},                                  // the cut would split it
        {a93 + "\xe2\x82\xac", a93},                              // the same for three bytes
        {a93 + "\xc3\xa9", a93 + "\xc3\xa9"},                     // it just fits
        {"x\xffy", "x\xef\xbf\xbdy"},                             // no UTF-8 at all
        {"\xc3(", "\xef\xbf\xbd("},                               // a lead byte alone
        {"\xe2\x82", "\xef\xbf\xbd"},                             // a truncated sequence: one
        {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},                 // overlong: one per byte
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}, // a surrogate
        {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}, // > U+10FFFF
        {"\xf0\x9f\x98\x80\x80", "\xf0\x9f\x98\x80\xef\xbf\xbd"}, // a stray continuation
        {a93 + "\xff", a93},                                      // U+FFFD does not fit
        {std::string(40, '\xff'),
         [] { // 31 of them do
             std::string r;
             for (int i = 0; i < 31; ++i) r += "\xef\xbf\xbd";
             return r;
         }()},
    };
    uint32_t pid = 1;
    for (const Case &c : cases) {
        fake_tables_reset();
        g_sock_count = 0;
        fake_image(pid, c.name.c_str());
        add("udp", "0.0.0.0", 53, pid);
        EXPECT_EQ(std::string(g_socks[0].comm), c.comm) << "name " << pid;
        ++pid;
    }
}

TEST_F(Listeners, ProcessZeroIsNotLookedUp) {
    fake_image(0, "idle.exe");
    add("udp", "0.0.0.0", 500, 0);
    EXPECT_EQ(g_fake_image_calls, 0);
    EXPECT_EQ(rows(), (std::vector<std::string>{"udp 0.0.0.0 500 1 0 "}));
}

TEST_F(Listeners, ProtocolNameKeepsThreeCharacters) {
    add("tcpv6", "::1", 7);
    EXPECT_STREQ(g_socks[0].proto, "tcp");
}

TEST_F(Listeners, TableStopsAt1024Rows) {
    for (int i = 0; i < 1030; ++i) add("tcp", "127.0.0.1", 1 + i, 9);
    EXPECT_EQ(g_sock_count, MAX_SOCKS);
    EXPECT_EQ(g_socks[MAX_SOCKS - 1].port, 1024);
    EXPECT_EQ(g_fake_image_calls, MAX_SOCKS); // dropped sockets cost no lookup
}

TEST_F(Listeners, PassesRunInOrderInOneReading) {
    fake_endpoint(PLAT_UDP6, "::", 4, 0);
    fake_endpoint(PLAT_TCP6, "::1", 3, 0);
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 2, 0);
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 1, 0);
    g_sock_count = 17; // left over: the enumeration starts from an empty table
    enumerate_sockets();
    // Both TCP lists first, then both UDP lists.
    EXPECT_EQ(rows(), (std::vector<std::string>{"tcp 127.0.0.1 1 0 0 ", "tcp ::1 3 0 0 ",
                                                "udp 0.0.0.0 2 1 0 ", "udp :: 4 1 0 "}));
    EXPECT_EQ(g_fake_readings, 1);
}

// The system's process list names owners that the image lookup may not open; it
// never overrides a name the lookup gave, and pid 0 stays without a name.
TEST_F(Listeners, ListedNameStandsInForAMissingImageName) {
    const std::string a93(93, 'a');
    fake_image(1, "svc.exe");
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 445, 4)->listed_name = "System";
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 80, 1)->listed_name = "other.exe";
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 81, 0)->listed_name = "[System Process]";
    fake_endpoint(PLAT_UDP6, "::", 53, 7);
    const std::string long_listed = a93 + "\xc3\xa9\xff";
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 54, 8)->listed_name = long_listed.c_str();
    enumerate_sockets();
    EXPECT_EQ(rows(), (std::vector<std::string>{"tcp 0.0.0.0 445 1 4 System",
                                                "tcp 0.0.0.0 80 1 1 svc.exe", "tcp 0.0.0.0 81 1 0 ",
                                                "udp 0.0.0.0 54 1 8 " + a93 + "\xc3\xa9",
                                                "udp :: 53 1 7 "}));
}

TEST_F(Listeners, OnlyListeningTcpEndpointsButEveryUdpEndpoint) {
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 80, 0)->state = 5;
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 81, 0);
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 82, 0)->state = 1;
    fake_endpoint(PLAT_UDP4, "10.0.0.2", 90, 0)->state = 5;
    fake_endpoint(PLAT_UDP4, "127.0.0.1", 91, 0);
    enumerate_sockets();
    EXPECT_EQ(rows(), (std::vector<std::string>{"tcp 127.0.0.1 81 0 0 ", "udp 10.0.0.2 90 2 0 ",
                                                "udp 127.0.0.1 91 0 0 "}));
}

TEST_F(Listeners, UnreadableListsContributeNothing) {
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 10, 0);
    fake_endpoint(PLAT_UDP4, "127.0.0.1", 11, 0);
    fake_endpoint(PLAT_TCP6, "::1", 12, 0);
    fake_endpoint(PLAT_UDP6, "::1", 13, 0);
    g_fake_lists[PLAT_TCP4].fail = 1;
    g_fake_lists[PLAT_UDP6].fail = 1;
    enumerate_sockets();
    EXPECT_EQ(rows(), (std::vector<std::string>{"tcp ::1 12 0 0 ", "udp 127.0.0.1 11 0 0 "}));
}

TEST_F(Listeners, CapKeepsTheEarlierPasses) {
    for (int i = 0; i < 1024; ++i) fake_endpoint(PLAT_TCP4, "0.0.0.0", 2000 + i, 0);
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 1, 9)->listed_name = "late.exe";
    fake_endpoint(PLAT_TCP6, "::", 2, 0);
    enumerate_sockets();
    ASSERT_EQ(g_sock_count, MAX_SOCKS);
    for (int i = 0; i < g_sock_count; ++i) ASSERT_STREQ(g_socks[i].proto, "tcp");
    EXPECT_EQ(g_socks[MAX_SOCKS - 1].port, 3023);
}

TEST_F(Listeners, UdpSocketsNeverCrowdOutTcpListeners) {
    for (int i = 0; i < 1100; ++i) fake_endpoint(PLAT_UDP4, "0.0.0.0", 1 + i, 0);
    fake_endpoint(PLAT_TCP6, "::", 8443, 0);
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 8080, 0);
    enumerate_sockets();
    ASSERT_EQ(g_sock_count, MAX_SOCKS);
    EXPECT_EQ(row_text(g_socks[0]), "tcp 0.0.0.0 8080 1 0 ");
    EXPECT_EQ(row_text(g_socks[1]), "tcp :: 8443 1 0 ");
    EXPECT_EQ(row_text(g_socks[MAX_SOCKS - 1]), "udp 0.0.0.0 1022 1 0 ");
}

TEST_F(Listeners, OrderIsByPort) {
    add("tcp", "0.0.0.0", 443);
    add("udp", "0.0.0.0", 53);
    add("tcp", "0.0.0.0", 80);
    order_rows();
    EXPECT_EQ(rows(), (std::vector<std::string>{"udp 0.0.0.0 53 1 0 ", "tcp 0.0.0.0 80 1 0 ",
                                                "tcp 0.0.0.0 443 1 0 "}));
}

TEST_F(Listeners, TcpBeforeUdpAndIpv4BeforeIpv6OnOnePort) {
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 8080, 1);
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 8080, 2);
    fake_endpoint(PLAT_TCP6, "::", 8080, 3);
    fake_endpoint(PLAT_UDP6, "::", 8080, 4);
    fake_endpoint(PLAT_UDP6, "::1", 7, 5);
    enumerate_sockets();
    order_rows();
    EXPECT_EQ(rows(), (std::vector<std::string>{"udp ::1 7 0 5 ", "tcp 0.0.0.0 8080 1 1 ",
                                                "tcp :: 8080 1 3 ", "udp 0.0.0.0 8080 1 2 ",
                                                "udp :: 8080 1 4 "}));
}

TEST_F(Listeners, OrderIsAStableSortByPortThenProtocol) {
    // Few ports and protocols, so most rows tie; the pid tells the rows apart. The
    // protocol order is bytewise, unsigned, a prefix first.
    const char *protos[] = {"tcp", "udp", "ud", "\xe9t", "t"};
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        g_sock_count = 0;
        const int n = round == 0 ? MAX_SOCKS : static_cast<int>(rng() % 60);
        for (int i = 0; i < n; ++i)
            add(protos[rng() % 5], "127.0.0.1", 1 + static_cast<int>(rng() % 9), i);
        std::vector<sock_row> want(g_socks, g_socks + g_sock_count);
        std::stable_sort(want.begin(), want.end(), [](const sock_row &a, const sock_row &b) {
            if (a.port != b.port) return a.port < b.port;
            return strcmp(a.proto, b.proto) < 0;
        });
        order_rows();
        ASSERT_EQ(g_sock_count, n);
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(row_text(g_socks[i]), row_text(want[i])) << "round " << round << " row " << i;
    }
}

TEST_F(Listeners, EmptyTableBody) {
    EXPECT_EQ(body(), kHead + "\"count\":0,\"summary\":{\"tcp\":0,\"udp\":0,\"loopback\":0,"
                              "\"wildcard\":0,\"specific\":0},\"listeners\":[]}\n");
}

TEST_F(Listeners, OneRowBody) {
    fake_image(4242, "svc.exe");
    add("tcp", "127.0.0.1", 8080, 4242);
    EXPECT_EQ(body(), kHead + "\"count\":1,\"summary\":{\"tcp\":1,\"udp\":0,\"loopback\":1,"
                              "\"wildcard\":0,\"specific\":0},\"listeners\":[{\"proto\":\"tcp\","
                              "\"bind_addr\":\"127.0.0.1\",\"port\":8080,\"scope\":\"loopback\","
                              "\"pid\":4242,\"comm\":\"svc.exe\"}]}\n");
}

TEST_F(Listeners, ActionOrdersCountsAndWrites) {
    fake_image(0xfffffffeu, "big.exe");
    fake_endpoint(PLAT_TCP4, "192.168.1.10", 443, 0xfffffffeu);
    fake_endpoint(PLAT_UDP4, "127.0.0.53", 53, 3);
    fake_endpoint(PLAT_UDP6, "::", 53, 3);
    fake_endpoint(PLAT_TCP6, "::ffff:127.0.0.1", 80, 0);
    const std::string out = capture_stdout(listeners_action);
    EXPECT_EQ(out, kHead + "\"count\":4,\"summary\":{\"tcp\":2,\"udp\":2,\"loopback\":2,"
                           "\"wildcard\":1,\"specific\":1},\"listeners\":["
                           "{\"proto\":\"udp\",\"bind_addr\":\"127.0.0.53\",\"port\":53,"
                           "\"scope\":\"loopback\",\"pid\":3,\"comm\":\"\"},"
                           "{\"proto\":\"udp\",\"bind_addr\":\"::\",\"port\":53,"
                           "\"scope\":\"wildcard\",\"pid\":3,\"comm\":\"\"},"
                           "{\"proto\":\"tcp\",\"bind_addr\":\"::ffff:127.0.0.1\",\"port\":80,"
                           "\"scope\":\"loopback\",\"pid\":0,\"comm\":\"\"},"
                           "{\"proto\":\"tcp\",\"bind_addr\":\"192.168.1.10\",\"port\":443,"
                           "\"scope\":\"specific\",\"pid\":-2,\"comm\":\"big.exe\"}]}\n");
}

TEST_F(Listeners, NoReadableListIsAnErrorNotAnEmptyAnswer) {
    for (fake_list &l : g_fake_lists) l.fail = 1;
    EXPECT_EQ(capture_stdout(listeners_action),
              "{\"ok\":false,\"error\":\"socket tables unreadable\"}\n");
    // One readable list, even an empty one, is an answer.
    g_fake_lists[PLAT_UDP6].fail = 0;
    EXPECT_EQ(capture_stdout(listeners_action),
              kHead + "\"count\":0,\"summary\":{\"tcp\":0,\"udp\":0,\"loopback\":0,"
                      "\"wildcard\":0,\"specific\":0},\"listeners\":[]}\n");
}

TEST_F(Listeners, TextsAreEscaped) {
    fake_image(5, "c\"q\x01\n.exe");
    add("udp", "10.1.1.1", 9, 5);
    strcpy(g_socks[0].bind_addr, "x\"\\\ty");
    EXPECT_EQ(body(), kHead + "\"count\":1,\"summary\":{\"tcp\":0,\"udp\":1,\"loopback\":0,"
                              "\"wildcard\":0,\"specific\":1},\"listeners\":[{\"proto\":\"udp\","
                              "\"bind_addr\":\"x\\\"\\\\\\ty\",\"port\":9,\"scope\":\"specific\","
                              "\"pid\":5,\"comm\":\"c\\\"q\\u0001\\n.exe\"}]}\n");
}

TEST_F(Listeners, FullTableBody) {
    for (int i = 0; i < 1024; ++i) add(i % 2 ? "udp" : "tcp", "0.0.0.0", 1 + i);
    const std::string out = body();
    EXPECT_EQ(out.rfind(kHead + "\"count\":1024,\"summary\":{\"tcp\":512,\"udp\":512,"
                                "\"loopback\":0,\"wildcard\":1024,\"specific\":0},",
                        0),
              0u);
    size_t objects = 0, commas = 0;
    for (size_t at = 0; (at = out.find("{\"proto\":", at)) != std::string::npos; ++at) ++objects;
    for (size_t at = 0; (at = out.find("},{", at)) != std::string::npos; ++at) ++commas;
    EXPECT_EQ(objects, 1024u);
    EXPECT_EQ(commas, 1023u);
    EXPECT_TRUE(out.ends_with(",\"pid\":0,\"comm\":\"\"}]}\n"));
}

} // namespace
