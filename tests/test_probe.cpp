#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "capture.h"
#include "fake_platform.h"
#include "platform/platform.h"
#include "probe.h"
#include "target.h"

namespace {

class Probe : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_net_reset();
        g_fake_clock_ms = 1000;
        g_fake_clock_step = 0;
    }
    // Every socket made was closed exactly once, one at a time, after being made
    // non-blocking.
    void expect_sockets_clean() {
        EXPECT_EQ(g_fake_net.open, 0);
        EXPECT_EQ(g_fake_net.bad_closes, 0);
        EXPECT_LE(g_fake_net.max_open, 1);
        EXPECT_EQ(g_fake_net.blocking_connects, 0);
        EXPECT_EQ(g_fake_net.family_mismatches, 0);
    }
};

probe_target loopback() {
    probe_target t;
    loopback_target(&t);
    return t;
}
const probe_target kLoopback = loopback();

TEST(PortFromText, ReadsLikeAtoiWithinRange) {
    struct Case {
        const char *text;
        int32_t port;
    } cases[] = {
        {"", 0},          {"0", 0},
        {"-0", 0},        {"65536", 0},
        {"-1", 0},        {"abc", 0},
        {"0x50", 0},      {"+-80", 0},
        {" ", 0},         {"1", 1},
        {"65535", 65535}, {"80abc", 80},
        {"0080", 80},     {" 443", 443},
        {"+443", 443},    {"\t\n\v\f\r80", 80},
        {"8 0", 8},       {"000000000000008", 8},
    };
    for (const Case &c : cases) EXPECT_EQ(port_from_text(c.text), c.port) << c.text;
}

TEST(PortFromText, NumbersBeyond32BitsAreOutOfRange) {
    // Each of these wraps to a valid port in a 32-bit conversion.
    for (const char *text : {"4294967376", "-4294967216", "4294967297", "18446744073709551696",
                             "2147483648", "-2147483649", "999999999999999"})
        EXPECT_EQ(port_from_text(text), 0) << text;
    EXPECT_EQ(port_from_text("2147483647"), 0);
    EXPECT_EQ(port_from_text("-2147483648"), 0);
}

TEST(HttpStatusOf, ReplyTexts) {
    struct Case {
        const char *reply;
        int result;
        int32_t status;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\n", 0, 200},
        {"HTTP/1.0 404 Not Found\r\n", 0, 404},
        {"HTTP/1.1 500 Oops\r\n", 0, 500},
        {"HTTP/1.1 302xxxxxxxx", 0, 302},
        {"HTTP/1.1  \t+301 Moved", 0, 301},
        {"HTTP/1.1 2147483647 Max\r\n", 0, INT32_MAX},
        {"HTTP/1.1 -1 Odd\r\n", -1, -1},
        {"HTTP/1.1 -2147483648 Min\r\n", -1, INT32_MIN},
        {"HTTP/1.1 0 Zero\r\n", -1, 0},
        {"HTTP/1.1\r\nServer: x\r\n", -1, 0},
        {"HTTP/1.1", -1, 0},
        {"HTTP/", -1, 0},
        {"", -1, 0},
        {"http/1.1 200 OK\r\n", -1, 0},
        {"SSH-2.0-OpenSSH_9.2 HTTP/1.1 200\r\n", -1, 0},
        {"HTTP/1.1 OK 200\r\n", -1, 0},
    };
    for (const Case &c : cases) {
        int32_t status = 77;
        EXPECT_EQ(http_status_of(c.reply, &status), c.result) << c.reply;
        EXPECT_EQ(status, c.status) << c.reply;
    }
}

TEST(HttpStatusOf, CodesBeyond32BitsReadAsNone) {
    // 4294967496 would wrap to 200 in a 32-bit conversion.
    for (const char *reply : {"HTTP/1.1 4294967496 X\r\n", "HTTP/1.1 2147483648 X\r\n",
                              "HTTP/1.1 -2147483649 X\r\n", "HTTP/1.1 99999999999999999999\r\n"}) {
        int32_t status = 77;
        EXPECT_EQ(http_status_of(reply, &status), -1) << reply;
        EXPECT_EQ(status, 0) << reply;
    }
}

const unsigned char kOtherAddr[4] = {127, 0, 0, 2};

TEST_F(Probe, ConnectOutcomes) {
    struct Case {
        const char *name;
        fake_conn conn;
        int outcome;
        int waits;
    } cases[] = {
        {"connected at once", {.connect = PLAT_CONNECTED}, PROBE_OPEN, 0},
        {"refused at once", {.connect = PLAT_REFUSED}, PROBE_REFUSED, 0},
        {"failed at once", {.connect = PLAT_FAILED}, PROBE_ERROR, 0},
        {"waited, connected",
         {.connect = PLAT_IN_PROGRESS, .pending = PLAT_CONNECTED},
         PROBE_OPEN,
         1},
        {"waited, refused",
         {.connect = PLAT_IN_PROGRESS, .pending = PLAT_REFUSED},
         PROBE_REFUSED,
         1},
        {"waited, failed", {.connect = PLAT_IN_PROGRESS, .pending = PLAT_FAILED}, PROBE_ERROR, 1},
        // No answer in time (a SYN dropped, a full accept queue) is no refusal: both
        // systems report a refusal through the wait itself.
        {"wait ran out", {.connect = PLAT_IN_PROGRESS, .wait = 0}, PROBE_ERROR, 1},
        {"wait failed", {.connect = PLAT_IN_PROGRESS, .wait = -1}, PROBE_ERROR, 1},
        {"no socket", {.no_socket = true}, PROBE_ERROR, 0},
        // Nothing listens, and the connection's own port is the target: it met itself.
        {"connected to itself", {.connect = PLAT_CONNECTED, .local_port = 8150}, PROBE_REFUSED, 0},
        {"waited, connected to itself",
         {.connect = PLAT_IN_PROGRESS, .pending = PLAT_CONNECTED, .local_port = 8150},
         PROBE_REFUSED,
         1},
        {"own port from another address",
         {.connect = PLAT_CONNECTED, .local_port = 8150, .local_addr = kOtherAddr},
         PROBE_OPEN,
         0},
        {"own address unreadable", {.connect = PLAT_CONNECTED, .local_port = -1}, PROBE_OPEN, 0},
    };
    for (const Case &c : cases) {
        SetUp();
        g_fake_conns[0] = c.conn;
        g_fake_conns[1].connect = PLAT_REFUSED; // the HEAD probe's own connection
        probe_result r;
        EXPECT_EQ(run_probe(&kLoopback, 8150, &r), c.outcome) << c.name;
        EXPECT_EQ(r.open, c.outcome == PROBE_OPEN) << c.name;
        EXPECT_EQ(r.refused, c.outcome == PROBE_REFUSED) << c.name;
        EXPECT_EQ(r.http_tried, c.outcome == PROBE_OPEN) << c.name;
        EXPECT_EQ(g_fake_net.sockets, (c.outcome == PROBE_OPEN ? 2
                                       : c.conn.no_socket      ? 0
                                                               : 1))
            << c.name;
        ASSERT_GE(g_fake_net.waits, c.waits) << c.name;
        if (c.waits) {
            EXPECT_EQ(g_fake_net.wait_for_write[0], 1) << c.name;
            EXPECT_EQ(g_fake_net.wait_ms[0], 2000) << c.name;
        }
        if (c.outcome != PROBE_OPEN) {
            EXPECT_EQ(r.http_ok, 0);
            EXPECT_EQ(r.http_status, 0);
            EXPECT_EQ(r.http_ms, -1);
        }
        EXPECT_EQ(g_fake_net.port, c.conn.no_socket ? 0 : 8150) << c.name;
        expect_sockets_clean();
    }
}

TEST_F(Probe, ConnectTimeCoversTheWholeWait) {
    g_fake_conns[0] = {.connect = PLAT_IN_PROGRESS, .wait = 0};
    probe_result r;
    run_probe(&kLoopback, 9, &r);
    EXPECT_EQ(r.connect_ms, 2000);
    EXPECT_EQ(r.refused, 0); // nothing answered: no refusal

    SetUp();
    g_fake_clock_step = 7; // every reading moves the clock: exactly two readings
    g_fake_conns[0] = {.no_socket = true};
    run_probe(&kLoopback, 9, &r);
    EXPECT_EQ(r.connect_ms, 7);
}

// probe_http over one scripted connection; status starts at 77 to show whether it
// was written.
struct Http {
    int result;
    int32_t status = 77;
};
Http http(const fake_conn &conn, int32_t port = 8150) {
    g_fake_conns[0] = conn;
    Http h;
    h.result = probe_http(&kLoopback, port, &h.status);
    return h;
}

TEST_F(Probe, HttpGivesUpBeforeTheReplyWithStatusUntouched) {
    const fake_conn cases[] = {
        {.no_socket = true},
        {.connect = PLAT_REFUSED},
        {.connect = PLAT_FAILED},
        {.connect = PLAT_IN_PROGRESS, .wait = 0},
        {.connect = PLAT_IN_PROGRESS, .wait = -1},
        {.connect = PLAT_IN_PROGRESS, .pending = PLAT_REFUSED},
        {.send = 0, .reply = {"HTTP/1.1 200 OK\r\n"}},
        {.send = -1, .reply = {"HTTP/1.1 200 OK\r\n"}},
        // Connected to itself, it would read back its own request.
        {.reply = {"HTTP/1.1 200 OK\r\n"}, .local_port = 8150},
    };
    int i = 0;
    for (const fake_conn &c : cases) {
        SetUp();
        const Http h = http(c);
        EXPECT_EQ(h.result, -1) << i;
        EXPECT_EQ(h.status, 77) << i;
        EXPECT_EQ(g_fake_net.recvs, 0) << i;
        expect_sockets_clean();
        ++i;
    }
}

TEST_F(Probe, HttpRequestBytes) {
    http({.reply = {"HTTP/1.1 200 OK\r\n"}});
    const std::string want = "HEAD / HTTP/1.0\r\n"
                             "Host: 127.0.0.1:8150\r\n"
                             "User-Agent: plugin_ports/1.0.0\r\n"
                             "Connection: close\r\n"
                             "\r\n";
    EXPECT_EQ(want.size(), 92u);
    EXPECT_EQ(g_fake_net.sends, 1);
    EXPECT_EQ(std::string(g_fake_net.sent, g_fake_net.sent_len), want);
    for (int32_t port : {1, 80, 65535}) {
        SetUp();
        http({}, port);
        const std::string sent(g_fake_net.sent, g_fake_net.sent_len);
        EXPECT_EQ(sent.size(), 88 + std::to_string(port).size());
        EXPECT_NE(sent.find("Host: 127.0.0.1:" + std::to_string(port) + "\r\n"), std::string::npos);
    }
}

TEST_F(Probe, HttpStatusLineInPieces) {
    const Http h = http({.reply = {"HTT", "P/1.1 2", "04 No Content\r\nServer: x\r\n"},
                         .piece_ms = 100,
                         .after = FAKE_SILENT});
    EXPECT_EQ(h.result, 0);
    EXPECT_EQ(h.status, 204);
    // Each wait is given what is left of the 1.5 seconds; reading stops at the line end.
    ASSERT_EQ(g_fake_net.waits, 3);
    EXPECT_EQ(g_fake_net.wait_ms[0], 1500);
    EXPECT_EQ(g_fake_net.wait_ms[1], 1400);
    EXPECT_EQ(g_fake_net.wait_ms[2], 1300);
    EXPECT_EQ(g_fake_net.wait_for_write[2], 0);
    EXPECT_EQ(g_fake_net.recv_room[0], 511u);
    EXPECT_EQ(g_fake_net.recv_room[1], 508u);
    EXPECT_EQ(g_fake_net.recv_room[2], 501u);
    expect_sockets_clean();
}

TEST_F(Probe, HttpLineEndSplitAcrossReceives) {
    const Http h = http({.reply = {"HTTP/1.1 200 OK\r", "\n"}, .after = FAKE_SILENT});
    EXPECT_EQ(h.result, 0);
    EXPECT_EQ(g_fake_net.recvs, 2);
    EXPECT_EQ(g_fake_clock_ms, 1000u); // no wait ran out
}

TEST_F(Probe, HttpStopsAt511Bytes) {
    const std::string big = "HTTP/1.1 302" + std::string(600, 'x');
    Http h = http({.reply = {big.c_str()}, .after = FAKE_SILENT});
    EXPECT_EQ(h.result, 0);
    EXPECT_EQ(h.status, 302);
    EXPECT_EQ(g_fake_net.recvs, 1);
    EXPECT_EQ(g_fake_net.waits, 1);

    SetUp();
    const std::string half = "HTTP/1.1 200" + std::string(288, 'x');
    h = http({.reply = {half.c_str(), half.c_str()}, .after = FAKE_SILENT});
    EXPECT_EQ(h.status, 200);
    EXPECT_EQ(g_fake_net.recvs, 2);
    EXPECT_EQ(g_fake_net.recv_room[1], 211u);
    expect_sockets_clean();
}

TEST_F(Probe, HttpReplyEndsEarly) {
    struct Case {
        const char *name;
        fake_conn conn;
        int32_t status;
        uint64_t clock_after;
    } cases[] = {
        {"silent", {.after = FAKE_SILENT}, 0, 2500},
        {"closes at once", {.after = FAKE_PEER_CLOSES}, 0, 1000},
        {"receive fails", {.after = FAKE_RECV_FAILS}, 0, 1000},
        {"wait fails", {.after = FAKE_WAIT_FAILS}, 0, 1000},
        {"closes after a bare status", {.reply = {"HTTP/1.1 200"}}, 200, 1000},
        // The second piece would come after the deadline: what arrived is parsed.
        {"trickle past the deadline",
         {.reply = {"HTTP/1.1 301", " Moved\r\n"}, .piece_ms = 1000},
         301,
         2500},
    };
    for (const Case &c : cases) {
        SetUp();
        const Http h = http(c.conn);
        EXPECT_EQ(h.result, c.status > 0 ? 0 : -1) << c.name;
        EXPECT_EQ(h.status, c.status) << c.name;
        EXPECT_EQ(g_fake_clock_ms, c.clock_after) << c.name;
        expect_sockets_clean();
    }
}

TEST_F(Probe, HttpShortSendStillReadsTheReply) {
    const Http h = http({.send = 10, .reply = {"HTTP/1.0 404 Not Found\r\n"}});
    EXPECT_EQ(h.result, 0);
    EXPECT_EQ(h.status, 404);
    EXPECT_EQ(g_fake_net.sends, 1);
}

std::string action(const char *query) {
    return capture_stdout([&] { probe_action(query); });
}

const char *const kError = "{\"ok\":false,\"error\":\"port must be 1..65535\"}\n";

TEST_F(Probe, BadPortGetsTheErrorBodyAndNoSocket) {
    EXPECT_EQ(std::string(kError).size(), 45u);
    for (const char *q :
         {"", "action=probe", "port=", "port=0", "port=65536", "port=-1", "port=abc",
          "port=4294967376", "port=%2D80", "port=000000000000000080",
          // Too long for its 16-byte buffer: refused whole, never cut to "0000...8".
          "port=00000000000008080", "port=8080%20%20%20%20%20%20%20%20%20%20%20%20"}) {
        EXPECT_EQ(action(q), kError) << q;
        EXPECT_EQ(g_fake_net.sockets, 0) << q;
    }
}

TEST_F(Probe, BodyOfAWebServer) {
    g_fake_clock_step = 1;
    g_fake_conns[1] = {.reply = {"HTTP/1.1 200 OK\r\n"}};
    EXPECT_EQ(action("action=probe&port=8150"),
              "{\"ok\":true,\"action\":\"probe\",\"target\":\"127.0.0.1\",\"port\":8150,"
              "\"open\":true,\"refused\":false,\"connect_ms\":1,\"http_tried\":true,"
              "\"http_ok\":true,\"http_status\":200,\"http_ms\":3,"
              "\"checked_at\":\"2026-12-08T02:38:00Z\"}\n");
    expect_sockets_clean();
}

TEST_F(Probe, BodyOfAFailedHeadProbe) {
    g_fake_conns[1] = {.reply = {"HTTP/1.1 -1 Odd\r\n"}};
    EXPECT_EQ(action("port=+80abc"),
              "{\"ok\":true,\"action\":\"probe\",\"target\":\"127.0.0.1\",\"port\":80,"
              "\"open\":true,\"refused\":false,\"connect_ms\":0,\"http_tried\":true,"
              "\"http_ok\":false,\"http_status\":-1,\"http_ms\":0,"
              "\"checked_at\":\"2026-12-08T02:38:00Z\"}\n");
    SetUp();
    g_fake_conns[1] = {.send = 0};
    EXPECT_NE(action("port=80").find(",\"http_ok\":false,\"http_status\":0,\"http_ms\":0,"),
              std::string::npos);
}

TEST_F(Probe, BodyWithoutTheHeadProbe) {
    g_fake_conns[0] = {.connect = PLAT_IN_PROGRESS, .wait = 0};
    EXPECT_EQ(action("port=9"),
              "{\"ok\":true,\"action\":\"probe\",\"target\":\"127.0.0.1\",\"port\":9,"
              "\"open\":false,\"refused\":false,\"connect_ms\":2000,\"http_tried\":false,"
              "\"checked_at\":\"2026-12-08T02:38:00Z\"}\n");
    SetUp();
    g_fake_conns[0] = {.no_socket = true};
    EXPECT_EQ(action("port=65535"),
              "{\"ok\":true,\"action\":\"probe\",\"target\":\"127.0.0.1\",\"port\":65535,"
              "\"open\":false,\"refused\":false,\"connect_ms\":0,\"http_tried\":false,"
              "\"checked_at\":\"2026-12-08T02:38:00Z\"}\n");
}

// ---- the addr parameter ---------------------------------------------------

const char *const kNotLocal = "{\"ok\":false,\"error\":\"address is not a local listener\"}\n";

class ProbeAddr : public Probe {
  protected:
    void SetUp() override {
        Probe::SetUp();
        fake_tables_reset();
    }
};

TEST_F(ProbeAddr, LoopbackByDefaultAndByNameGiveTheSameBytes) {
    const std::string plain = action("action=probe&port=8150");
    EXPECT_EQ(g_fake_net.ipv6, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(g_fake_net.addr), 4),
              std::string("\x7f\0\0\x01", 4));
    for (const char *q : {"action=probe&port=8150&addr=127.0.0.1", "addr=127.0.0.1&port=8150",
                          "port=8150&addr=", "port=8150&addr=%3A%3Affff%3A127.0.0.1"}) {
        SetUp();
        EXPECT_EQ(action(q), plain) << q;
        EXPECT_EQ(g_fake_readings, 0) << q; // loopback needs no look at the tables
    }
    EXPECT_NE(plain.find("\"target\":\"127.0.0.1\",\"port\":8150,"), std::string::npos);
}

TEST_F(ProbeAddr, AnIpv6TargetIsConnectedOverIpv6AndNamedInTheAnswer) {
    g_fake_clock_step = 1;
    g_fake_conns[1] = {.reply = {"HTTP/1.1 200 OK\r\n"}};
    EXPECT_EQ(action("action=probe&port=8150&addr=0:0:0:0:0:0:0:1"),
              "{\"ok\":true,\"action\":\"probe\",\"target\":\"::1\",\"port\":8150,"
              "\"open\":true,\"refused\":false,\"connect_ms\":1,\"http_tried\":true,"
              "\"http_ok\":true,\"http_status\":200,\"http_ms\":3,"
              "\"checked_at\":\"2026-12-08T02:38:00Z\"}\n");
    EXPECT_EQ(g_fake_net.ipv6, 1);
    EXPECT_EQ(g_fake_net.addr[15], 1);
    EXPECT_EQ(g_fake_net.sockets, 2);
    // The HEAD request names the host as a URL would.
    EXPECT_NE(std::string(g_fake_net.sent, g_fake_net.sent_len).find("\r\nHost: [::1]:8150\r\n"),
              std::string::npos);
    expect_sockets_clean();
}

TEST_F(ProbeAddr, AListenersAddressIsProbedThereAndNoOtherIs) {
    fake_local_addr("192.0.2.7");
    fake_endpoint(PLAT_TCP4, "192.0.2.7", 22, 1);
    fake_endpoint(PLAT_TCP6, "2001:db8::5", 443, 1);
    fake_endpoint(PLAT_UDP4, "192.0.2.9", 53, 1);
    g_fake_conns[0] = {.connect = PLAT_REFUSED};
    // Any port of a listener's address; the answer names the address in standard form.
    EXPECT_NE(action("port=8080&addr=192.0.2.7")
                  .find("\"target\":\"192.0.2.7\",\"port\":8080,"
                        "\"open\":false,\"refused\":true,"),
              std::string::npos);
    EXPECT_EQ(g_fake_net.addr[3], 7);
    SetUp();
    fake_local_addr("2001:db8::5");
    fake_endpoint(PLAT_TCP6, "2001:db8::5", 443, 1);
    g_fake_conns[0] = {.connect = PLAT_REFUSED};
    EXPECT_NE(action("port=443&addr=2001:DB8:0::5").find("\"target\":\"2001:db8::5\","),
              std::string::npos);
    EXPECT_EQ(g_fake_net.ipv6, 1);
    EXPECT_EQ(g_fake_net.scope_id, 0u);

    // Refused before any socket: a UDP address, an address nobody is bound to, one
    // with a zone, the wildcards, texts that are no address, and listeners on
    // addresses no interface of this host has (IP_FREEBIND binds them, for any user).
    SetUp();
    fake_local_addr("192.0.2.7");
    fake_local_addr("192.0.2.9");
    fake_endpoint(PLAT_TCP4, "192.0.2.7", 22, 1);
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 80, 1);
    fake_endpoint(PLAT_TCP6, "::", 80, 1);
    fake_endpoint(PLAT_UDP4, "192.0.2.9", 53, 1);
    fake_endpoint(PLAT_TCP4, "198.51.100.1", 22, 1);
    fake_endpoint(PLAT_TCP6, "2001:db8::66", 22, 1);
    fake_endpoint(PLAT_TCP6, "::ffff:203.0.113.5", 22, 1);
    for (const char *q :
         {"port=53&addr=192.0.2.9", "port=22&addr=192.0.2.8", "port=22&addr=::1%25lo",
          "port=80&addr=0.0.0.0", "port=80&addr=::", "port=80&addr=localhost",
          "port=22&addr=192.0.2.7%20", "port=22&addr=192.0.2.7%00", "port=22&addr=198.51.100.1",
          "port=22&addr=2001:db8::66", "port=22&addr=203.0.113.5",
          "port=22&addr=::ffff:198.51.100.1"}) {
        EXPECT_EQ(action(q), kNotLocal) << q;
        EXPECT_EQ(g_fake_net.sockets, 0) << q;
    }
}

TEST_F(ProbeAddr, ALinkLocalListenerIsReachedThroughItsOwnInterface) {
    fake_local_addr("fe80::1");
    fake_endpoint(PLAT_TCP6, "fe80::1", 22, 1)->scope_id = 3;
    fake_endpoint(PLAT_TCP6, "2001:db8::5", 22, 1)->scope_id = 4;
    fake_local_addr("2001:db8::5");
    g_fake_conns[0] = {.connect = PLAT_REFUSED};
    EXPECT_NE(action("port=8080&addr=FE80::1").find("\"target\":\"fe80::1\",\"port\":8080,"),
              std::string::npos);
    EXPECT_EQ(g_fake_net.scope_id, 3u);
    // An address that names a host without a zone takes none.
    SetUp();
    fake_local_addr("2001:db8::5");
    fake_endpoint(PLAT_TCP6, "2001:db8::5", 22, 1)->scope_id = 4;
    g_fake_conns[0] = {.connect = PLAT_REFUSED};
    action("port=22&addr=2001:db8::5");
    EXPECT_EQ(g_fake_net.sockets, 1);
    EXPECT_EQ(g_fake_net.scope_id, 0u);
}

TEST_F(ProbeAddr, ThePortErrorComesFirst) {
    for (const char *q : {"port=0&addr=192.0.2.8", "addr=nonsense", "port=65536&addr=::1"}) {
        EXPECT_EQ(action(q), kError) << q;
        EXPECT_EQ(g_fake_readings, 0) << q;
    }
}

TEST_F(ProbeAddr, AConnectionToItselfIsCaughtOverIpv6) {
    probe_target t;
    ASSERT_EQ(target_from_text("::1", &t), 0);
    g_fake_conns[0] = {.connect = PLAT_CONNECTED, .local_port = 8150};
    probe_result r;
    EXPECT_EQ(run_probe(&t, 8150, &r), PROBE_REFUSED);
    // The same port from another address of the family is a real connection.
    SetUp();
    static const unsigned char other[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                            0,    0,    0,    0,    0, 0, 0, 5};
    g_fake_conns[0] = {.connect = PLAT_CONNECTED, .local_port = 8150, .local_addr = other};
    g_fake_conns[1] = {.connect = PLAT_REFUSED};
    EXPECT_EQ(run_probe(&t, 8150, &r), PROBE_OPEN);
    expect_sockets_clean();
}

} // namespace
