// The process answer over the fake platform: the pid it takes, the facts it writes or
// says it could not read, the parent chain's stops and the exact bytes.
#include <gtest/gtest.h>

#include <string>

#include "capture.h"
#include "fake_platform.h"
#include "listeners.h"
#include "process.h"

namespace {

const int64_t S = 10000000; // 100-ns units in a second
// 2026-12-08T02:38:00Z
const int64_t T0 = 1796697480LL * S;

const std::string kNoPid = "{\"ok\":false,\"error\":\"pid must be a process id\"}\n";
const std::string kNoProcess = "{\"ok\":false,\"error\":\"no such process\"}\n";

class Process : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_tables_reset();
        g_sock_count = 0;
        g_fake_now = T0;
    }

    static std::string answer(const std::string &query, int gate_on = 1) {
        return capture_stdout([&] { process_action(query.c_str(), gate_on); });
    }

    // The text of one key's value in a body (up to the next key of the answer).
    static std::string value(const std::string &body, const std::string &key,
                             const std::string &next) {
        const size_t from = body.find("\"" + key + "\":");
        const size_t to = body.find(",\"" + next + "\":", from);
        if (from == std::string::npos || to == std::string::npos) return "(missing)";
        return body.substr(from + key.size() + 3, to - from - key.size() - 3);
    }
};

TEST_F(Process, OnlyAWholeDecimalPidOfTheSystemIsTaken) {
    fake_proc(4242, 0, T0, "x");
    fake_proc(5000000, 0, T0, "beyond"); // the largest pid was lowered after it started
    for (const char *query :
         {"action=process", "pid=", "pid=0", "pid=-1", "pid=abc", "pid=12x", "pid=007", "pid=+4242",
          "pid=%204242", "pid=4242%20", "pid=%00", "pid=4242%00", "pid=4242.0", "pid=4294967296",
          "pid=18446744073709551616", "pid=00000000000000004242", "pid=4194304"})
        EXPECT_EQ(answer(query), kNoPid) << query;
    EXPECT_EQ(answer("pid=4194303"), kNoProcess);
    EXPECT_EQ(answer("pid=4243"), kNoProcess);
    // Decoded whole, the first one counting.
    for (const char *query : {"pid=4242&pid=1", "pid=%34%32%342"})
        EXPECT_EQ(answer(query).rfind("{\"ok\":true,\"action\":\"process\",\"pid\":4242,", 0), 0u)
            << query;
    EXPECT_NE(answer("pid=5000000").find("\"comm\":\"beyond\""), std::string::npos);
    g_fake_pid_max = 0xffffffffu;
    fake_proc(4294967295u, 0, T0, "top");
    EXPECT_NE(answer("pid=4294967295").find("\"pid\":4294967295,\"comm\":\"top\""),
              std::string::npos);
}

TEST_F(Process, EveryFactExactly) {
    fake_proc(812, 400, T0 - (3 * 86400 + 4 * 3600 + 59) * S - 5, "python3.11");
    fake_proc(400, 1, T0 - 30 * 86400 * S, "sshd");
    fake_proc(1, 0, T0 - 40 * 86400 * S, "systemd");
    fake_process(812, "www-data", "app.service", "0123456789ab");
    static const char args[] = "/usr/bin/python3\0-c\0print(\"\xff\")\0";
    g_fake_more = {PLAT_READ, "/opt/app/python3.11", 1, PLAT_READ, "/srv/app", PLAT_READ,
                   args,      sizeof args - 1};
    fake_endpoint(PLAT_TCP6, "::", 8080, 812);
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 8080, 812);
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 22, 400); // another process's
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 9000, 812)->state = PLAT_TCP_ESTABLISHED;
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 5353, 812);
    EXPECT_EQ(answer("action=process&pid=812"),
              "{\"ok\":true,\"action\":\"process\",\"pid\":812,\"comm\":\"python3.11\","
              "\"user\":\"www-data\",\"exe\":\"/opt/app/python3.11\",\"exe_deleted\":true,"
              "\"cmdline\":[\"/usr/bin/python3\",\"-c\",\"print(\\\"\xef\xbf\xbd\\\")\"],"
              "\"cwd\":\"/srv/app\",\"started\":\"2026-12-04T22:37:00Z\",\"age_s\":273659,"
              "\"parents\":[{\"pid\":400,\"comm\":\"sshd\"},{\"pid\":1,\"comm\":\"systemd\"}],"
              "\"service\":\"app.service\",\"container\":\"0123456789ab\","
              "\"sockets\":[{\"proto\":\"udp\",\"bind_addr\":\"0.0.0.0\",\"port\":5353},"
              "{\"proto\":\"tcp\",\"bind_addr\":\"127.0.0.1\",\"port\":8080},"
              "{\"proto\":\"tcp\",\"bind_addr\":\"::\",\"port\":8080}],"
              "\"unreadable\":[]}\n");
    EXPECT_EQ(g_fake_want_cmdline, 1);
    // No owner walk: the tables are read for their addresses, and no name is looked up.
    EXPECT_EQ(g_fake_flags, PLAT_ADDRESSES);
    EXPECT_EQ(g_fake_image_calls, 0);
}

TEST_F(Process, WhatCannotBeReadIsNullAndNamedWhatIsNotThereIsNullAlone) {
    fake_proc(77, 0, PLAT_NO_TIME, "svc.exe");
    g_fake_more = {PLAT_DENIED, nullptr, -1, PLAT_DENIED, nullptr, PLAT_DENIED, nullptr, 0};
    g_fake_held_unknown = 1;
    // A service list that could not be read, a cgroup that could not: null, not "none".
    fake_process(77, "", "", "")->unread = PLAT_PROC_USER | PLAT_PROC_SERVICE | PLAT_PROC_CONTAINER;
    const std::string denied = answer("pid=77");
    EXPECT_EQ(denied.substr(denied.find("\"user\"")),
              "\"user\":null,\"exe\":null,\"exe_deleted\":null,\"cmdline\":null,\"cwd\":null,"
              "\"started\":null,\"age_s\":null,\"parents\":[],\"service\":null,\"container\":null,"
              "\"sockets\":null,"
              "\"unreadable\":[\"user\",\"exe\",\"cmdline\",\"cwd\",\"started\",\"services\","
              "\"container\",\"sockets\"]}\n");

    // A kernel thread: no image file, no arguments; the system says so, it hides nothing.
    // Without the node password the command line is not even read.
    fake_tables_reset();
    g_fake_now = T0;
    fake_proc(2, 0, T0, "kthreadd");
    fake_process(2, "root", "", "");
    g_fake_more = {PLAT_NONE, nullptr, -1, PLAT_NONE, nullptr, PLAT_NONE, nullptr, 0};
    g_fake_lists[PLAT_UDP6].fail = 1;
    const std::string none = answer("pid=2", 0);
    EXPECT_EQ(g_fake_want_cmdline, 0);
    EXPECT_EQ(
        none.substr(none.find("\"user\"")),
        "\"user\":\"root\",\"exe\":null,\"exe_deleted\":null,\"cmdline\":null,\"cwd\":null,"
        "\"started\":\"2026-12-08T02:38:00Z\",\"age_s\":0,\"parents\":[],\"service\":\"\","
        "\"container\":\"\",\"sockets\":[],\"unreadable\":[\"cmdline:no-password\",\"udp6\"]}\n");
    // Withheld, the command line is named for that reason alone.
    g_fake_more.cmdline_state = PLAT_DENIED;
    EXPECT_NE(answer("pid=2", 0).find("\"unreadable\":[\"cmdline:no-password\",\"udp6\"]"),
              std::string::npos);
}

TEST_F(Process, ParentsUpToOneThatIsGoneOrYoungerOrUnreadable) {
    // 10 <- 9 <- 8 (started after 9: a reused id) <- 7
    fake_proc(10, 9, T0, "child");
    fake_proc(9, 8, T0, "same-tick"); // a parent may start in the child's clock tick
    fake_proc(8, 7, T0 + 1, "reused");
    fake_proc(7, 0, T0 - S, "old");
    EXPECT_EQ(value(answer("pid=10"), "parents", "service"),
              "[{\"pid\":9,\"comm\":\"same-tick\"}]");
    // A parent that is gone ends the chain; so does one whose start may not be read,
    // which the answer then says.
    EXPECT_EQ(value(answer("pid=8"), "parents", "service"), "[{\"pid\":7,\"comm\":\"old\"}]");
    fake_proc(20, 21, T0, "orphan");
    EXPECT_EQ(value(answer("pid=20"), "parents", "service"), "[]");
    fake_proc(30, 31, T0, "under-another-account");
    fake_proc(31, 1, PLAT_NO_TIME, "hidden");
    const std::string hidden = answer("pid=30");
    EXPECT_EQ(value(hidden, "parents", "service"), "[]");
    EXPECT_NE(hidden.find("\"unreadable\":[\"user\",\"parents\"]"), std::string::npos) << hidden;
    // Ids in a loop, all started together, are listed once.
    fake_proc(40, 41, T0, "a");
    fake_proc(41, 40, T0, "b");
    EXPECT_EQ(value(answer("pid=40"), "parents", "service"), "[{\"pid\":41,\"comm\":\"b\"}]");
}

// Without the service list, "" would read as "runs no service".
TEST_F(Process, AnUnreadServiceListIsNullAndNamed) {
    fake_proc(50, 0, T0, "svc");
    fake_process(50, "NT AUTHORITY\\SYSTEM", "", "");
    g_fake_facts_unreadable = PLAT_FACT_SERVICES;
    const std::string body = answer("pid=50");
    EXPECT_EQ(value(body, "service", "container"), "null");
    EXPECT_NE(body.find("\"unreadable\":[\"services\"]"), std::string::npos) << body;
    // Owners that could not be read (Linux) say nothing of this one process's service.
    g_fake_facts_unreadable = PLAT_FACT_OWNERS;
    EXPECT_EQ(value(answer("pid=50"), "service", "container"), "\"\"");
}

TEST(UtcText, CalendarOfTheUnixTime) {
    struct {
        int64_t t;
        const char *text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {951868800LL * S - 1, "2000-02-29T23:59:59Z"}, // a leap day of a century year
        {951868800LL * S, "2000-03-01T00:00:00Z"},
        {4107542400LL * S, "2100-03-01T00:00:00Z"}, // no leap day in 2100
        {-1, "1969-12-31T23:59:59Z"},
        {T0 + S / 2, "2026-12-08T02:38:00Z"},
    };
    for (const auto &c : cases) {
        char buf[32];
        utc_text(c.t, buf, sizeof buf);
        EXPECT_STREQ(buf, c.text) << c.t;
    }
}

} // namespace
