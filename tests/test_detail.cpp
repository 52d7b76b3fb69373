// The detail answer over the fake platform: who serves a socket, the facts of that
// process, the connections each listener accepted, and the exact bytes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "detail.h"
#include "fake_platform.h"
#include "listeners.h"

namespace {

const std::string kHead = "{\"ok\":true,\"action\":\"listeners\",\"source\":\"windows-tables\",";

class Detail : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_tables_reset();
        g_sock_count = 0;
    }

    static std::string answer(int gate_on = 0) {
        return capture_stdout([&] { detail_action(gate_on); });
    }

    // One connection's local end, for a connection list.
    static void conn(const char *addr, int port) {
        fake_endpoint(strchr(addr, ':') ? PLAT_TCP6_CONNS : PLAT_TCP4_CONNS, addr, port, 0);
    }

    // "port:conns" of every TCP row, in answer order, after a detail answer.
    static std::vector<std::string> conns() {
        capture_stdout([] { detail_action(0); });
        std::vector<std::string> out;
        for (int i = 0; i < g_sock_count; ++i)
            out.push_back(std::string(g_socks[i].bind_addr) + " " +
                          std::to_string(g_socks[i].port) + ":" + std::to_string(g_socks[i].conns));
        return out;
    }
};

TEST(ServingPid, TheServiceManagerServesOnlyAlone) {
    struct {
        uint32_t lowest, next, manager, serving;
    } cases[] = {
        {0, 0, 1, 0},       // no holder known
        {1, 0, 1, 1},       // the manager alone
        {1, 812, 1, 812},   // socket activation: the service behind the manager
        {400, 401, 1, 400}, // a pre-fork server: its parent
        {1, 7, 0, 1},       // a system without a manager: the lowest
        {4, 0, 0, 4},
    };
    for (const auto &c : cases)
        EXPECT_EQ(serving_pid(c.lowest, c.next, c.manager), c.serving)
            << c.lowest << " " << c.next << " " << c.manager;
}

TEST_F(Detail, EveryFieldOfEveryKindOfRow) {
    fake_image(812, "nginx");
    fake_image(1, "systemd");
    fake_process(812, "www-data", "nginx.service", "");
    fake_process(1, "root", "init.scope", "");
    fake_process(90, "root", "docker-ab12.scope", "ab12cd34ef56");
    fake_image(90, "dns\"d");
    plat_endpoint *ep = fake_endpoint(PLAT_TCP6, "::", 80, 1);
    ep->next_pid = 812;
    ep->holders = 3;
    ep->queue = 2;
    ep->backlog = 511;
    ep->v6only = 0;
    ep = fake_endpoint(PLAT_TCP4, "127.0.0.1", 22, 1);
    ep->holders = 1;
    ep->queue = 0;
    ep->backlog = 128;
    ep = fake_endpoint(PLAT_UDP6, "::", 53, 90);
    ep->holders = 1;
    ep->v6only = 1;
    fake_container_name("ab12cd34ef56", "db\"1"); // the engine's name, escaped
    fake_pod(90, "0f1e2d3c-aaaa-bbbb-cccc-000000000000", "shop", "db-0");
    ep->queue = 7; // a UDP socket's queue is no accept queue
    g_fake_reader = PLAT_READER_SOCK_DIAG;
    conn("::ffff:127.0.0.1", 80);
    conn("::1", 80);
    conn("127.0.0.1", 22);
    EXPECT_EQ(
        answer(),
        kHead +
            "\"count\":3,\"summary\":{\"tcp\":2,\"udp\":1,\"loopback\":1,\"wildcard\":2,"
            "\"specific\":0},\"listeners\":["
            "{\"proto\":\"tcp\",\"bind_addr\":\"127.0.0.1\",\"port\":22,\"scope\":\"loopback\","
            "\"pid\":1,\"comm\":\"systemd\",\"user\":\"root\",\"service\":\"init.scope\","
            "\"container\":\"\",\"container_name\":\"\",\"pod\":null,\"holders\":1,\"queue\":0,\"backlog\":128,\"conns\":1,"
            "\"v6only\":null,\"probe\":true,\"netns\":0,\"forward\":null,\"expected\":null},"
            "{\"proto\":\"udp\",\"bind_addr\":\"::\",\"port\":53,\"scope\":\"wildcard\","
            "\"pid\":90,\"comm\":\"dns\\\"d\",\"user\":\"root\",\"service\":\"docker-ab12.scope\","
            "\"container\":\"ab12cd34ef56\",\"container_name\":\"db\\\"1\",\"pod\":{\"namespace\":\"shop\",\"name\":\"db-0\"},\"holders\":1,\"queue\":-1,\"backlog\":-1,"
            "\"conns\":-1,\"v6only\":true,\"probe\":false,\"netns\":0,\"forward\":null,\"expected\":null},"
            "{\"proto\":\"tcp\",\"bind_addr\":\"::\",\"port\":80,\"scope\":\"wildcard\","
            "\"pid\":812,\"comm\":\"nginx\",\"user\":\"www-data\",\"service\":\"nginx.service\","
            "\"container\":\"\",\"container_name\":\"\",\"pod\":null,\"holders\":3,\"queue\":2,\"backlog\":511,\"conns\":2,"
            "\"v6only\":false,\"probe\":true,\"netns\":0,\"forward\":null,\"expected\":null}],\"reader\":\"sock_diag\",\"unreadable\":[],\"truncated\":false,\"published\":[],"
            "\"policy\":null,\"missing\":[],\"unjudged\":[],\"gate\":false}\n");
    EXPECT_EQ(g_fake_flags, PLAT_DETAIL | PLAT_EVERY_NETNS);
}

TEST_F(Detail, NothingKnownIsEmptyNullOrMinusOne) {
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 8080, 0);
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 68, 5); // a process without facts
    EXPECT_EQ(
        answer(),
        kHead + "\"count\":2,\"summary\":{\"tcp\":1,\"udp\":1,\"loopback\":0,\"wildcard\":2,"
                "\"specific\":0},\"listeners\":["
                "{\"proto\":\"udp\",\"bind_addr\":\"0.0.0.0\",\"port\":68,\"scope\":\"wildcard\","
                "\"pid\":5,\"comm\":\"\",\"user\":\"\",\"service\":\"\",\"container\":\"\","
                "\"container_name\":\"\",\"pod\":null,\"holders\":0,\"queue\":-1,\"backlog\":-1,\"conns\":-1,\"v6only\":null,"
                "\"probe\":false,\"netns\":0,\"forward\":null,\"expected\":null},"
                "{\"proto\":\"tcp\",\"bind_addr\":\"0.0.0.0\",\"port\":8080,\"scope\":\"wildcard\","
                "\"pid\":0,\"comm\":\"\",\"user\":\"\",\"service\":\"\",\"container\":\"\","
                "\"container_name\":\"\",\"pod\":null,\"holders\":0,\"queue\":-1,\"backlog\":-1,\"conns\":0,\"v6only\":null,"
                "\"probe\":true,\"netns\":0,\"forward\":null,\"expected\":null}],"
                "\"reader\":null,\"unreadable\":[],\"truncated\":false,\"published\":[],\"policy\":null,\"missing\":[],\"unjudged\":[],\"gate\":false}\n");
    EXPECT_EQ(g_fake_fact_calls, 1); // pid 0 has no facts to read
}

TEST_F(Detail, UnreadableListsAreNamedInOrderThenTheFacts) {
    fake_endpoint(PLAT_UDP4, "127.0.0.1", 5, 0);
    for (int list : {PLAT_UDP6, PLAT_TCP4, PLAT_TCP6}) g_fake_lists[list].fail = 1;
    EXPECT_TRUE(
        answer().ends_with("\"expected\":null}],\"reader\":null,\"unreadable\":[\"tcp4\",\"tcp6\",\"udp6\"],\"truncated\":false,\"published\":[],"
                           "\"policy\":null,\"missing\":[],\"unjudged\":[],\"gate\":false}\n"));
    g_fake_facts_unreadable = PLAT_FACT_SERVICES | PLAT_FACT_OWNERS;
    EXPECT_TRUE(answer().ends_with("\"unreadable\":[\"tcp4\",\"tcp6\",\"udp6\",\"owners\","
                                   "\"services\"],\"truncated\":false,\"published\":[],\"policy\":null,\"missing\":[],\"unjudged\":[],\"gate\":false}\n"));
    g_fake_facts_unreadable =
        PLAT_FACT_CHURN | PLAT_FACT_FORWARDERS | PLAT_FACT_ACCOUNTS | PLAT_FACT_SERVICES;
    EXPECT_TRUE(answer().ends_with("\"udp6\",\"services\",\"accounts\",\"forwarders\",\"churn\"],\"truncated\":false,\"published\":[],\"policy\":null,"
                                   "\"missing\":[],\"unjudged\":[],\"gate\":false}\n"));
    g_fake_lists[PLAT_UDP4].fail = 1;
    EXPECT_EQ(answer(), "{\"ok\":false,\"error\":\"socket tables unreadable\"}\n");
    for (fake_list &l : g_fake_lists) l.fail = 0;
    g_fake_facts_unreadable = PLAT_FACT_OWNERS;
    EXPECT_TRUE(answer().ends_with("\"unreadable\":[\"owners\"],\"truncated\":false,\"published\":[],\"policy\":null,\"missing\":[],\"unjudged\":[],\"gate\":false}\n"));
}

TEST_F(Detail, SaysLastWhetherAPasswordGuardsIt) {
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 22, 0);
    EXPECT_TRUE(answer(1).ends_with("\"policy\":null,\"missing\":[],\"unjudged\":[],\"gate\":true}\n"));
    EXPECT_TRUE(answer(0).ends_with("\"policy\":null,\"missing\":[],\"unjudged\":[],\"gate\":false}\n"));
}

// The answer says what its lists were really read from; the plain answer's "source"
// stays as it is.
TEST_F(Detail, ReaderNamesWhatWasRead) {
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 5, 0);
    const char *const names[] = {"null", "\"sock_diag\"", "\"proc\"", "\"windows-tables\""};
    for (int reader = PLAT_READER_NONE; reader <= PLAT_READER_WINDOWS_TABLES; ++reader) {
        g_fake_reader = reader;
        EXPECT_NE(answer().find(std::string("],\"reader\":") + names[reader] + ",\"unreadable\":["),
                  std::string::npos);
    }
}

// The answer names the serving process; the system's process list names only the
// table's own owner.
TEST_F(Detail, ServingProcessIsNamedAndReadOnce) {
    g_fake_manager_pid = 1;
    fake_image(1, "systemd");
    fake_process(1, "root", "", "");
    fake_process(640, "postgres", "postgresql@15-main.service", "");
    for (int port : {5432, 5433, 5434}) {
        plat_endpoint *ep = fake_endpoint(PLAT_TCP4, "0.0.0.0", port, 1);
        ep->next_pid = 640;
        ep->listed_name = "init";
    }
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 9, 1)->listed_name = "init";
    capture_stdout([] { detail_action(0); });
    ASSERT_EQ(g_sock_count, 4);
    EXPECT_EQ(g_socks[0].pid, 1);
    EXPECT_STREQ(g_socks[0].comm, "systemd");
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(g_socks[i].pid, 640);
        EXPECT_STREQ(g_socks[i].comm, ""); // no image name, and not pid 1's listed one
    }
    EXPECT_EQ(g_fake_fact_calls, 2); // once per serving process, not per row
}

// Without the right to see the process, the account the table names for the socket.
TEST_F(Detail, SocketAccountStandsInForAnUnseenProcess) {
    fake_account(0, "root");
    fake_account(33, "www-data");
    fake_process(7, "alice", "", "");
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 1, 0)->account = 33;
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 2, 0)->account = 33;
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 3, 7)->account = 0;  // the process's own wins
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 4, 9)->account = 0;  // a process without facts
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 5, 0)->account = 44; // a name that cannot be had
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 6, 0);
    const std::string out = answer();
    std::vector<std::string> users;
    for (size_t at = 0; (at = out.find("\"user\":\"", at)) != std::string::npos;) {
        at += 8;
        users.push_back(out.substr(at, out.find('"', at) - at));
    }
    EXPECT_EQ(users, (std::vector<std::string>{"www-data", "www-data", "alice", "root", "", ""}));
    EXPECT_EQ(g_fake_account_calls, 3); // the same account twice in a row: named once
}

// An owner hidden from the account is no "no owner": holders null and "owners" said;
// a socket nobody holds (the kernel's own) stays 0 and says nothing.
TEST_F(Detail, AHiddenOwnerIsUnknownNotNone) {
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 2049, 0);
    EXPECT_TRUE(answer().ends_with("\"holders\":0,\"queue\":-1,\"backlog\":-1,\"conns\":0,"
                                   "\"v6only\":null,\"probe\":true,\"netns\":0,\"forward\":null,"
                                   "\"expected\":null}],\"reader\":null,\"unreadable\":[],"
                                   "\"truncated\":false,\"published\":[],\"policy\":null,\"missing\":[],"
                                   "\"unjudged\":[],\"gate\":false}\n"));
    fake_netns(4026532305, 0);
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 53, 0)->owner_hidden = 1;
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 54, 0)->netns = 4026532305;
    const std::string out = answer();
    EXPECT_NE(out.find("\"port\":53,\"scope\":\"wildcard\",\"pid\":0,\"comm\":\"\",\"user\":\"\","
                       "\"service\":\"\",\"container\":\"\",\"container_name\":\"\",\"pod\":null,\"holders\":null,"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"port\":2049,\"scope\":\"wildcard\",\"pid\":0,\"comm\":\"\",\"user\":\"\","
                       "\"service\":\"\",\"container\":\"\",\"container_name\":\"\",\"pod\":null,\"holders\":0,"),
              std::string::npos);
    EXPECT_TRUE(out.ends_with("\"unreadable\":[\"owners\"],\"truncated\":false,\"published\":[],\"policy\":null,"
                              "\"missing\":[],\"unjudged\":[],\"gate\":false}\n"));
    // Another namespace's hidden owner is said as well.
    fake_tables_reset();
    fake_netns(4026532305, 0);
    plat_endpoint *ep = fake_endpoint(PLAT_UDP4, "0.0.0.0", 54, 0);
    ep->netns = 4026532305;
    ep->owner_hidden = 1;
    EXPECT_NE(answer().find("\"unreadable\":[\"owners\"]"), std::string::npos);
}

TEST_F(Detail, ProcessTextsAreValidUtf8) {
    fake_process(3,
                 "us\xff"
                 "er",
                 "a\xc3"
                 ".service",
                 "");
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 1, 3);
    const std::string out = answer();
    EXPECT_NE(out.find("\"user\":\"us\xef\xbf\xbd"
                       "er\",\"service\":\"a\xef\xbf\xbd.service\""),
              std::string::npos)
        << out;
}

TEST_F(Detail, EachConnectionCountsOnceForTheListenerTheKernelPicks) {
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 80, 0);
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 80, 0);
    fake_endpoint(PLAT_TCP6, "::", 80, 0)->v6only = 1;
    fake_endpoint(PLAT_TCP6, "::", 443, 0)->v6only = 0;  // dual-stack
    fake_endpoint(PLAT_TCP6, "::", 8443, 0)->v6only = 1; // refuses IPv4
    fake_endpoint(PLAT_TCP6, "::", 9000, 0);             // unknown: may take IPv4
    fake_endpoint(PLAT_TCP4, "10.0.0.5", 22, 0);
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 80, 0);
    conn("127.0.0.1", 80);        // the exact listener
    conn("10.0.0.5", 80);         // the IPv4 wildcard
    conn("::1", 80);              // the IPv6 wildcard
    conn("::ffff:10.0.0.5", 443); // Linux: an IPv4 peer of a dual-stack socket
    conn("10.0.0.5", 443);        // Windows: the same as an IPv4 row
    conn("10.0.0.5", 8443);       // no listener takes it
    conn("10.0.0.5", 9000);
    conn("10.0.0.6", 22); // another address: not this listener's
    conn("10.0.0.5", 22);
    conn("10.0.0.5", 22);
    conn("127.0.0.1", 7); // a client's end on a port nothing listens on
    EXPECT_EQ(conns(), (std::vector<std::string>{"10.0.0.5 22:2", "0.0.0.0 80:1", "127.0.0.1 80:1",
                                                 ":: 80:1", "0.0.0.0 80:-1", ":: 443:2",
                                                 ":: 8443:0", ":: 9000:1"}));
}

TEST_F(Detail, UnreadConnectionsAreUnknownNotZero) {
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 80, 0);
    fake_endpoint(PLAT_TCP6, "::1", 80, 0);
    fake_endpoint(PLAT_TCP6, "::", 81, 0)->v6only = 0;
    fake_endpoint(PLAT_TCP6, "::", 82, 0)->v6only = 1;
    conn("::1", 80);
    g_fake_lists[PLAT_TCP4_CONNS].fail = 1;
    // A dual-stack socket's IPv4 connections would be in the list not read.
    EXPECT_EQ(conns(),
              (std::vector<std::string>{"0.0.0.0 80:-1", "::1 80:1", ":: 81:-1", ":: 82:0"}));
}

TEST_F(Detail, OtherNamespacesTheirConnectionsUnreadableListsAndForwards) {
    fake_netns(4026532305, 1 << PLAT_TCP6);
    fake_netns(PLAT_NETNS_UNNAMED, 1 << PLAT_UDP4 | 1 << PLAT_TCP6_CONNS);
    fake_image(7, "docker-proxy");
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 8080, 7);
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 80, 0)->netns = 4026532305;
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 80, 0)->netns = PLAT_NETNS_UNNAMED;
    fake_endpoint(PLAT_TCP6, "::", 81, 0)->netns = PLAT_NETNS_UNNAMED;
    // Each connection counts in its own namespace only.
    fake_endpoint(PLAT_TCP4_CONNS, "172.17.0.2", 80, 0)->netns = 4026532305;
    fake_endpoint(PLAT_TCP4_CONNS, "172.17.0.2", 80, 0)->netns = 4026532305;
    fake_endpoint(PLAT_TCP4_CONNS, "10.0.0.9", 80, 0)->netns = PLAT_NETNS_UNNAMED;
    fake_endpoint(PLAT_TCP4_CONNS, "127.0.0.1", 80, 0);
    plat_forward f = {};
    f.addr[0] = 172, f.addr[1] = 17, f.addr[3] = 2;
    f.port = 80;
    f.netns = 4026532305;
    strcpy(f.container, "fa425de4ee5d");
    strcpy(f.name, "web\"1\x01");
    fake_forward(7, f);
    const std::string out = answer();
    EXPECT_NE(out.find("\"count\":4,\"summary\":{\"tcp\":4,"), std::string::npos) << out;
    EXPECT_EQ(conns(), (std::vector<std::string>{"0.0.0.0 80:2", "0.0.0.0 80:1", ":: 81:-1",
                                                 "127.0.0.1 8080:0"}));
    // Another namespace's loopback and addresses are not this host's: no probe there.
    EXPECT_NE(out.find("\"conns\":2,\"v6only\":null,\"probe\":false,\"netns\":4026532305,"
                       "\"forward\":null,\"expected\":null}"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"v6only\":null,\"probe\":false,\"netns\":null,\"forward\":null,"
                       "\"expected\":null}"),
              std::string::npos);
    EXPECT_NE(out.find("\"probe\":true,\"netns\":0,\"forward\":{\"addr\":\"172.17.0.2\",\"port\":80,"
                       "\"netns\":4026532305,\"container\":\"fa425de4ee5d\","
                       "\"name\":\"web\\\"1\\u0001\"},\"expected\":null}]"),
              std::string::npos)
        << out;
    // A forwarder that cannot tell the port (rootlessport) says null.
    f.port = 0;
    fake_forward(7, f);
    EXPECT_NE(answer().find("\"forward\":{\"addr\":\"172.17.0.2\",\"port\":null,"),
              std::string::npos);
    EXPECT_TRUE(out.ends_with("\"unreadable\":[\"netns:4026532305 tcp6\",\"netns:? udp4\"],\"truncated\":false,\"published\":[],"
                              "\"policy\":null,\"missing\":[],\"unjudged\":[],\"gate\":false}\n"))
        << out;
}

TEST_F(Detail, EveryNamespaceFitsPastThePlainAnswersRows) {
    for (int k = 0; k < 3; ++k) fake_netns(4026532000 + k, 0);
    for (int i = 0; i < 1200; ++i)
        fake_endpoint(PLAT_TCP4, "0.0.0.0", 1000 + i % 400, 0)->netns =
            i < 400 ? 0 : 4026532000 + i / 400;
    answer();
    ASSERT_EQ(g_sock_count, 1200);
    EXPECT_EQ(g_socks[0].netns, 0);
    EXPECT_EQ(g_socks[2].netns, 4026532002);
    EXPECT_EQ(g_socks[1199].port, 1399);
    capture_stdout(listeners_action);
    EXPECT_EQ(g_sock_count, 400); // the plain answer: the program's own namespace alone
}

TEST_F(Detail, AFullTableKeepsEveryTcpListenerThenTheOwnUdpAndSaysItWasCut) {
    // The program's own namespace: one TCP listener and more UDP sockets than fit; then
    // another namespace's TCP listener and UDP socket.
    fake_netns(4026532000, 0);
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 22, 0);
    for (int i = 0; i < MAX_ROWS + 10; ++i) fake_endpoint(PLAT_UDP4, "0.0.0.0", 1000 + i % 60000, 0);
    fake_endpoint(PLAT_TCP6, "::", 443, 0)->netns = 4026532000;
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 53, 0)->netns = 4026532000;
    const std::string out = answer();
    ASSERT_EQ(g_sock_count, MAX_ROWS);
    int tcp = 0, other_udp = 0;
    for (int i = 0; i < g_sock_count; ++i) {
        tcp += strcmp(g_socks[i].proto, "tcp") == 0;
        other_udp += strcmp(g_socks[i].proto, "udp") == 0 && g_socks[i].netns != 0;
    }
    EXPECT_EQ(tcp, 2);
    EXPECT_EQ(other_udp, 0);
    EXPECT_TRUE(detail_truncated());
    EXPECT_TRUE(out.ends_with("\"unreadable\":[],\"truncated\":true,\"published\":[],\"policy\":null,\"missing\":[],\"unjudged\":[],\"gate\":false}\n"));
    // The own TCP lists are whole, its UDP ones are not.
    const int all = (1 << PLAT_LISTS) - 1;
    EXPECT_EQ(detail_judgeable(all), 1 << PLAT_TCP4 | 1 << PLAT_TCP6);
    // Another namespace's UDP sockets give way first: the program's own stay whole.
    fake_tables_reset();
    fake_netns(4026532000, 0);
    fake_netns(4026532001, 0);
    for (int i = 0; i < 10; ++i) fake_endpoint(PLAT_UDP4, "127.0.0.1", 1 + i, 0);
    for (int i = 0; i < MAX_ROWS; ++i)
        fake_endpoint(PLAT_UDP4, "0.0.0.0", 1000 + i % 60000, 0)->netns = 4026532000;
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 80, 0)->netns = 4026532001;
    answer();
    EXPECT_EQ(g_socks[0].port, 1);
    EXPECT_EQ(g_socks[9].port, 10);
    EXPECT_EQ(g_socks[10].port, 80);
    EXPECT_TRUE(detail_truncated());
    EXPECT_EQ(detail_judgeable(all), all);
}

TEST_F(Detail, PlainAnswerReadsNoDetail) {
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 80, 1)->next_pid = 9;
    const std::string plain = capture_stdout(listeners_action);
    EXPECT_EQ(g_fake_flags, 0);
    EXPECT_EQ(g_fake_fact_calls, 0);
    EXPECT_NE(plain.find("\"pid\":1,\"comm\":\"\"}]}\n"), std::string::npos) << plain;
}

} // namespace

TEST_F(Detail, PublicationsNoSocketHoldsAreListedOnceAndJudged) {
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 18734, 0);
    auto pub = [](const char *proto, int any, int port) {
        plat_published p = {};
        strcpy(p.proto, proto);
        p.any = any;
        p.addr[0] = 127, p.addr[3] = 1;
        p.port = port;
        p.forward.addr[0] = 10, p.forward.addr[1] = 88, p.forward.addr[3] = 5;
        p.forward.port = 80;
        p.forward.netns = 4026532400;
        strcpy(p.forward.container, "5f3c0a8e7b1d");
        return p;
    };
    fake_published(pub("tcp", 0, 18734)); // the socket on the host is its own row
    plat_published pod = pub("tcp", 1, 8080);
    strcpy(pod.pod_namespace, "shop");
    strcpy(pod.pod_name, "web<1>");
    fake_published(pod);
    fake_published(pod); // said twice (Docker names a wildcard per family): once
    plat_published docker = pub("udp", 0, 5353);
    docker.via = PLAT_VIA_DOCKER;
    strcpy(docker.forward.name, "dns");
    fake_published(docker);
    plat_published sctp = pub("sctp", 1, 9); // no row is SCTP
    fake_published(sctp);
    static const char policy[] = "tcp * 8080\nudp 127.0.0.1 5353 container=other\n";
    g_fake_file_outcome = PLAT_FILE_READ;
    g_fake_file_text = policy;
    g_fake_file_len = sizeof policy - 1;
    const std::string out = answer();
    const std::string want =
        "\"published\":["
        "{\"proto\":\"tcp\",\"host_addr\":\"0.0.0.0\",\"host_port\":8080,\"forward\":{\"addr\":"
        "\"10.88.0.5\",\"port\":80,\"netns\":4026532400,\"container\":\"5f3c0a8e7b1d\",\"name\":"
        "\"\"},\"pod\":{\"namespace\":\"shop\",\"name\":\"web<1>\"},\"via\":\"cni\",\"expected\":"
        "true},"
        "{\"proto\":\"udp\",\"host_addr\":\"127.0.0.1\",\"host_port\":5353,\"forward\":{\"addr\":"
        "\"10.88.0.5\",\"port\":80,\"netns\":4026532400,\"container\":\"5f3c0a8e7b1d\",\"name\":"
        "\"dns\"},\"pod\":null,\"via\":\"docker\",\"expected\":false}],\"policy\":";
    EXPECT_NE(out.find(want), std::string::npos) << out;
    // The rule a publication matches is not missing; the other one is.
    EXPECT_TRUE(out.ends_with("\"missing\":[{\"proto\":\"udp\",\"bind_addr\":\"127.0.0.1\","
                              "\"port\":5353,\"line\":2}],\"unjudged\":[],\"gate\":false}\n"))
        << out;
}
