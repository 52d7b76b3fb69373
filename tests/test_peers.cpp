// The peers answer over the fake platform: which listener a connection counts for, the
// grouping by remote address, the fold into "other", the error bodies and the gate.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>

#include "capture.h"
#include "fake_platform.h"
#include "listeners.h"
#include "peers.h"

namespace {

class Peers : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_tables_reset();
        g_sock_count = 0;
    }

    static std::string answer(const char *query, int gate_on = 1) {
        return capture_stdout([&] { peers_action(query, gate_on); });
    }

    // times connections from peer to local:port, in the list of local's family.
    static void conn(const char *local, int port, const char *peer, int times = 1) {
        const bool v6 = strchr(local, ':') != nullptr;
        for (int k = 0; k < times; ++k) {
            plat_endpoint *ep =
                fake_endpoint(v6 ? PLAT_TCP6_CONNS : PLAT_TCP4_CONNS, local, port, 0);
            inet_pton(v6 ? AF_INET6 : AF_INET, peer, ep->peer);
            ep->peer_port_field = htons(static_cast<uint16_t>(40000 + k));
        }
    }
};

const char kHead[] = "{\"ok\":true,\"action\":\"peers\",\"proto\":\"tcp\",";

TEST_F(Peers, EachConnectionCountsForTheListenerTheKernelHandsItTo) {
    fake_endpoint(PLAT_TCP6, "::", 8080, 0)->v6only = 0;
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 8080, 0);
    fake_endpoint(PLAT_TCP4, "127.0.0.5", 8080, 0);
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 22, 0);
    conn("127.0.0.1", 8080, "127.0.0.3", 2);
    conn("127.0.0.1", 8080, "127.0.0.2", 3);
    conn("127.0.0.5", 8080, "10.0.0.9");
    conn("::1", 8080, "::1");
    // Linux lists a dual-stack socket's IPv4 peers in their mapped form: named as IPv4.
    conn("::ffff:127.0.0.1", 8080, "::ffff:127.0.0.2", 2);
    conn("127.0.0.1", 22, "127.0.0.2");
    // Without addr: the first listener on the port in the listeners answer's order.
    EXPECT_EQ(answer("action=peers&port=8080"),
              std::string(kHead) +
                  "\"bind_addr\":\"0.0.0.0\",\"port\":8080,\"total\":5,\"peers\":["
                  "{\"addr\":\"127.0.0.2\",\"count\":3},{\"addr\":\"127.0.0.3\",\"count\":2}],"
                  "\"other\":0}\n");
    EXPECT_EQ(answer("action=peers&port=8080&addr=127.0.0.5&proto=tcp"),
              std::string(kHead) +
                  "\"bind_addr\":\"127.0.0.5\",\"port\":8080,\"total\":1,\"peers\":["
                  "{\"addr\":\"10.0.0.9\",\"count\":1}],\"other\":0}\n");
    EXPECT_EQ(answer("action=peers&port=8080&addr=%3A%3A"),
              std::string(kHead) +
                  "\"bind_addr\":\"::\",\"port\":8080,\"total\":3,\"peers\":["
                  "{\"addr\":\"127.0.0.2\",\"count\":2},{\"addr\":\"::1\",\"count\":1}],"
                  "\"other\":0}\n");
    // One reading per answer; no owner is looked for.
    EXPECT_EQ(g_fake_port_reads, 3);
    EXPECT_EQ(g_fake_image_calls, 0);
}

TEST_F(Peers, TwentyBusiestByCountThenAddressTheRestInOther) {
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 443, 0);
    char peer[16];
    for (int k = 22; k >= 1; --k) {
        snprintf(peer, sizeof peer, "10.0.0.%d", k);
        conn("10.0.0.1", 443, peer);
    }
    conn("10.0.0.1", 443, "10.0.1.1", 4);
    conn("10.0.0.1", 443, "9.0.0.1", 2);
    std::string want = std::string(kHead) +
                       "\"bind_addr\":\"0.0.0.0\",\"port\":443,\"total\":28,\"peers\":["
                       "{\"addr\":\"10.0.1.1\",\"count\":4},{\"addr\":\"9.0.0.1\",\"count\":2}";
    // Ties by address as numbers: 10.0.0.9 before 10.0.0.10.
    for (int k = 1; k <= 18; ++k)
        want += ",{\"addr\":\"10.0.0." + std::to_string(k) + "\",\"count\":1}";
    want += "],\"other\":4}\n";
    EXPECT_EQ(answer("action=peers&port=443"), want);
}

TEST_F(Peers, ErrorsAndTheGate) {
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 80, 0);
    conn("127.0.0.1", 80, "127.0.0.2");
    const std::string no_password =
        "{\"ok\":false,\"error\":\"peers are shown only behind a node password\"}\n";
    // An open node reads nothing and names no address, whatever the query.
    EXPECT_EQ(answer("action=peers&port=80", 0), no_password);
    EXPECT_EQ(answer("action=peers&port=x", 0), no_password);
    EXPECT_EQ(g_fake_port_reads, 0);
    const char *const bad_port[] = {"action=peers", "action=peers&port=0",
                                    "action=peers&port=65536",
                                    "action=peers&port=0000000000000000080"};
    for (const char *q : bad_port)
        EXPECT_EQ(answer(q), "{\"ok\":false,\"error\":\"port must be 1..65535\"}\n") << q;
    EXPECT_EQ(answer("action=peers&port=80&proto=udp"),
              "{\"ok\":false,\"error\":\"peers are told of tcp listeners only\"}\n");
    const char *const none[] = {"action=peers&port=81", "action=peers&port=80&addr=127.0.0.2",
                                "action=peers&port=80&addr=%3Cb%3E",
                                "action=peers&port=80&addr=::1"};
    for (const char *q : none)
        EXPECT_EQ(answer(q), "{\"ok\":false,\"error\":\"no such listener\"}\n") << q;
    // Nothing is said missing from a list that could not be read.
    g_fake_lists[PLAT_TCP6].fail = 1;
    EXPECT_EQ(answer("action=peers&port=80&addr=::1"),
              "{\"ok\":false,\"error\":\"socket tables unreadable\"}\n");
    g_fake_lists[PLAT_TCP6].fail = 0;
    g_fake_lists[PLAT_TCP4_CONNS].fail = 1;
    EXPECT_EQ(answer("action=peers&port=80"),
              "{\"ok\":false,\"error\":\"connections unreadable\"}\n");
}

} // namespace
