// The metrics answer over the fake platform, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "capture.h"
#include "fake_platform.h"
#include "listeners.h"
#include "metrics.h"

namespace {

const std::string kHead = "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                          "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n";

std::string help(const char *name, const char *text) {
    return std::string("# HELP ") + name + " " + text + "\n# TYPE " + name + " gauge\n";
}

const std::string kInfo =
    help("ports_listener_info",
         "A socket listening in this host's network namespace, with its process and whether a rule "
         "expects it (empty without a policy). Sockets that share every label are one series.");
const std::string kConns =
    help("ports_listener_connections", "Established connections a TCP listener accepted.");
const std::string kQueue =
    help("ports_listener_queue", "Connections waiting in a TCP listener's accept queue.");
const std::string kBacklog =
    help("ports_listener_backlog", "The limit of a TCP listener's accept queue.");
const std::string kUnreadable =
    help("ports_tables_unreadable", "Socket lists that could not be read, of 4; with "
                                    "facts=\"owners\", 1 when some socket's owner could not be read.");
const std::string kHidden =
    help("ports_listeners_owner_hidden", "Sockets listening in this host's network namespace "
                                         "whose owner the program's account could not see.");
const std::string kMissing =
    help("ports_expected_missing", "Rules of the file of expected listeners that no socket "
                                   "matches, by protocol, address and port.");
const std::string kUnjudged =
    help("ports_expected_unjudged", "Rules of the file of expected listeners that could not be "
                                    "judged: no socket matches them on the facts read, and the "
                                    "rest were not read.");
const std::string kWhole =
    help("ports_rows_truncated", "1 when sockets were left out of the answer for want of room "
                                 "(TCP listeners are kept first), else 0.") +
    "ports_rows_truncated 0\n";
const std::string kGate =
    help("ports_gate_enabled", "1 when a node password guards this program, else 0.");

class Metrics : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_tables_reset();
        unsetenv("PORTS_EXPECT");
        g_sock_count = 0;
    }
    static std::string answer(int gate_on = 0) {
        return capture_stdout([&] { metrics_action(gate_on); });
    }
};

TEST_F(Metrics, EverySeriesOnceWithItsLabelsEscaped) {
    fake_image(10, "we\"b\\srv\nx");
    fake_process(10, "root", "web.service", "");
    fake_image(20, "dnsd");
    // A listener group of one program: one info series, its counts summed.
    for (int queue : {1, 2}) {
        plat_endpoint *ep = fake_endpoint(PLAT_TCP4, "127.0.0.1", 80, 10);
        ep->queue = queue;
        ep->backlog = 128;
    }
    fake_endpoint(PLAT_TCP6, "::", 443, 0); // queue and backlog unknown: left out
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 53, 20);
    fake_endpoint(PLAT_TCP4_CONNS, "127.0.0.1", 80, 0);
    fake_endpoint(PLAT_TCP4_CONNS, "127.0.0.1", 80, 0);
    // A port published without a socket: counted, and judged like a listener.
    plat_published pub = {};
    strcpy(pub.proto, "tcp");
    pub.any = 1;
    pub.port = 8080;
    fake_published(pub);
    static const char policy[] = "tcp 127.0.0.1 80\n\nudp * 5353\nbad\n";
    g_fake_file_outcome = PLAT_FILE_READ;
    g_fake_file_text = policy;
    g_fake_file_len = sizeof policy - 1;
    EXPECT_EQ(
        answer(),
        kHead + kInfo +
            "ports_listener_info{proto=\"udp\",bind_addr=\"0.0.0.0\",port=\"53\",scope="
            "\"wildcard\","
            "comm=\"dnsd\",service=\"\",user=\"\",container=\"\",expected=\"false\"} 1\n"
            "ports_listener_info{proto=\"tcp\",bind_addr=\"127.0.0.1\",port=\"80\",scope="
            "\"loopback\","
            "comm=\"we\\\"b\\\\srv\\nx\",service=\"web.service\",user=\"root\",container=\"\","
            "expected=\"true\"} 1\n"
            "ports_listener_info{proto=\"tcp\",bind_addr=\"::\",port=\"443\",scope=\"wildcard\","
            "comm=\"\",service=\"\",user=\"\",container=\"\",expected=\"false\"} 1\n" +
            kConns +
            "ports_listener_connections{proto=\"tcp\",bind_addr=\"127.0.0.1\",port=\"80\"} 2\n"
            "ports_listener_connections{proto=\"tcp\",bind_addr=\"::\",port=\"443\"} 0\n" +
            kQueue + "ports_listener_queue{proto=\"tcp\",bind_addr=\"127.0.0.1\",port=\"80\"} 3\n" +
            kBacklog +
            "ports_listener_backlog{proto=\"tcp\",bind_addr=\"127.0.0.1\",port=\"80\"} 256\n" +
            help("ports_listeners", "Sockets listening in this host's network namespace.") +
            "ports_listeners{proto=\"tcp\",scope=\"loopback\"} 2\n"
            "ports_listeners{proto=\"tcp\",scope=\"wildcard\"} 1\n"
            "ports_listeners{proto=\"tcp\",scope=\"specific\"} 0\n"
            "ports_listeners{proto=\"udp\",scope=\"loopback\"} 0\n"
            "ports_listeners{proto=\"udp\",scope=\"wildcard\"} 1\n"
            "ports_listeners{proto=\"udp\",scope=\"specific\"} 0\n" +
            help("ports_published", "Ports an engine publishes by address translation alone (no "
                                    "socket of this host holds them).") +
            "ports_published{proto=\"tcp\"} 1\nports_published{proto=\"udp\"} 0\n" +
            kMissing + "ports_expected_missing{proto=\"udp\",bind_addr=\"*\",port=\"5353\"} 1\n" +
            kUnjudged +
            help("ports_unexpected_listeners", "Listening sockets that no rule expects.") +
            "ports_unexpected_listeners 3\n" +
            help("ports_policy_rules", "Rules in force in the file of expected listeners.") +
            "ports_policy_rules 2\n" +
            help("ports_policy_errors", "Lines of the file of expected listeners that are no "
                                        "rule, and 1 when the file cannot be used at all.") +
            "ports_policy_errors 1\n" + kHidden + "ports_listeners_owner_hidden 0\n" +
            kUnreadable + "ports_tables_unreadable 0\nports_tables_unreadable{facts=\"owners\"} 0\n" +
            kWhole + kGate + "ports_gate_enabled 0\n");
}

// A series of a rule is named by its socket, never by its line: an edit above it keeps
// it; rules on one socket add up. Unjudged rules and hidden owners have their own.
TEST_F(Metrics, RuleSeriesByTheirSocketAndHiddenOwnersCounted) {
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 22, 0)->owner_hidden = 1;
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 23, 0)->owner_hidden = 1;
    std::string file = "tcp 0.0.0.0 22 comm=sshd\n"
                       "tcp * 443 comm=nginx\n"
                       "tcp * 443 container=\"\"\n"
                       "udp ::1 53\n";
    const auto series = [&] {
        g_fake_file_outcome = PLAT_FILE_READ;
        g_fake_file_text = file.data();
        g_fake_file_len = file.size();
        const std::string out = answer();
        const size_t from = out.find("# HELP ports_expected_missing");
        return out.substr(from, out.find("# HELP ports_unexpected_listeners") - from);
    };
    const std::string before = series();
    EXPECT_EQ(before, kMissing +
                          "ports_expected_missing{proto=\"tcp\",bind_addr=\"*\",port=\"443\"} 2\n"
                          "ports_expected_missing{proto=\"udp\",bind_addr=\"::1\",port=\"53\"} 1\n" +
                          kUnjudged +
                          "ports_expected_unjudged{proto=\"tcp\",bind_addr=\"0.0.0.0\",port=\"22\"} 1\n");
    file = "# a comment\n\n" + file;
    EXPECT_EQ(series(), before);
    const std::string out = answer();
    EXPECT_NE(out.find(kHidden + "ports_listeners_owner_hidden 2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ports_tables_unreadable 0\nports_tables_unreadable{facts=\"owners\"} 1\n"),
              std::string::npos);
    // The row that is not judged is neither expected nor unexpected.
    EXPECT_NE(out.find("port=\"22\",scope=\"wildcard\",comm=\"\",service=\"\",user=\"\","
                       "container=\"\",expected=\"\"} 1\n"),
              std::string::npos);
    EXPECT_NE(out.find("ports_unexpected_listeners 1\n"), std::string::npos); // port 23
}

TEST_F(Metrics, ListsNotReadAreCountedAndNothingReadableIsNoEmptySuccess) {
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 53, 0);
    g_fake_lists[PLAT_TCP6].fail = 1;
    g_fake_lists[PLAT_TCP4_CONNS].fail = 1;
    const std::string some = answer();
    // Connections that were not read are no count of 0.
    EXPECT_NE(some.find(kConns + kQueue), std::string::npos) << some;
    EXPECT_TRUE(some.ends_with(kUnreadable + "ports_tables_unreadable 1\n"
                                             "ports_tables_unreadable{facts=\"owners\"} 0\n" +
                               kWhole + kGate + "ports_gate_enabled 0\n"))
        << some;
    EXPECT_EQ(some.find("ports_policy"), std::string::npos); // no policy, no judgement
    for (fake_list &l : g_fake_lists) l.fail = 1;
    EXPECT_EQ(answer(), kHead + kUnreadable + "ports_tables_unreadable 4\n" + kGate +
                          "ports_gate_enabled 0\n");
    // Said even then: an alert on an open gate must not wait for the tables.
    EXPECT_TRUE(answer(1).ends_with("ports_gate_enabled 1\n"));
}

} // namespace
