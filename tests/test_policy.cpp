// The file of expected listeners over the fake platform: what a line may say, how rules
// meet rows, what is missing, and --baseline's rules read back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "baseline.h"
#include "capture.h"
#include "detail.h"
#include "fake_platform.h"
#include "listeners.h"
#include "policy.h"

namespace {

class Policy : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_tables_reset();
        unsetenv("PORTS_EXPECT");
        g_sock_count = 0;
    }
    void TearDown() override { unsetenv("PORTS_EXPECT"); }

    // The rules' values point into the text: it lives as long as the test.
    std::string file;

    void use_file(const std::string &text) {
        file = text;
        g_fake_file_outcome = PLAT_FILE_READ;
        g_fake_file_text = file.data();
        g_fake_file_len = file.size();
    }

    static std::vector<std::string> errors() {
        std::vector<std::string> out;
        for (int k = 0; k < g_policy.error_count && k <= POLICY_MAX_ERRORS; ++k)
            out.push_back(std::to_string(g_policy.errors[k].line) + " " + g_policy.errors[k].error);
        return out;
    }

    static std::vector<std::string> rules() {
        static const char *const keys[RULE_KEYS] = {"comm", "service", "user", "container"};
        std::vector<std::string> out;
        for (int k = 0; k < g_policy.count; ++k) {
            const policy_rule &r = g_policy.rules[k];
            char addr[64];
            policy_addr_text(r, addr, sizeof addr);
            std::string s = std::to_string(r.line) + ": " + (r.udp ? "udp " : "tcp ") + addr + " " +
                            std::to_string(r.port);
            for (int i = 0; i < RULE_KEYS; ++i)
                if (r.key[i]) s += std::string(" ") + keys[i] + "=[" + r.key[i] + "]";
            out.push_back(s);
        }
        return out;
    }

    // Reads the rows and judges them by the file: "proto addr port:expected" per row,
    // then "missing <line>" per missing rule.
    static std::vector<std::string> judged() {
        const int readable = detail_read(false);
        policy_load();
        policy_judge(detail_judgeable(readable));
        std::vector<std::string> out;
        for (int i = 0; i < g_sock_count; ++i)
            out.push_back(std::string(g_socks[i].proto) + " " + g_socks[i].bind_addr + " " +
                          std::to_string(g_socks[i].port) + ":" +
                          std::to_string(policy_expected(i)));
        for (int k = 0; k < g_policy.count; ++k) {
            const int state = policy_rule_state(g_policy.rules[k]);
            if (state != RULE_MATCHED)
                out.push_back((state == RULE_MISSING ? "missing " : "unjudged ") +
                              std::to_string(g_policy.rules[k].line));
        }
        return out;
    }
};

TEST_F(Policy, WhatALineMaySay) {
    use_file(
        "\xef\xbb\xbf# expected here\r\n"
        "\n"
        "tcp\t*  22 comm=sshd   # the comment ends the rule\r\n"
        "udp ::ffff:127.0.0.1 53 service=a=b.service\n"
        "tcp 0:0::1 631 user=\"NT AUTHORITY\\\\SYSTEM\" comm=\"a \\\"b\\\"#\\x09\" container=\n"
        "tcp 10.0.0.1 80 user=DOMAIN\\alice comm=\"\"\n"
        "TCP * 1\n"
        "sctp * 1\n"
        "tcp 10.0.0.256 1\n"
        "tcp fe80::1%eth0 1\n"
        "tcp * 0\n"
        "tcp * 65536\n"
        "tcp * +80\n"
        "tcp *\n"
        "tcp * 1 comm\n"
        "tcp * 1 pid=42\n"
        "tcp * 1 exe=x\n"
        "tcp * 1 comm=a comm=b\n"
        "tcp * 1 comm=\"open\n"
        "tcp * 1 comm=\"a\"b\n"
        "tcp * 1 comm=a\"b\n"
        "tcp * 1 comm=\"\\q\"\n"
        "tcp * 1 comm=\"\\x00\"\n"
        "udp * 65535 comm=last");
    policy_load();
    EXPECT_EQ(g_policy.status, POLICY_IN_FORCE);
    EXPECT_STREQ(g_policy.path, "/fake/expected");
    EXPECT_EQ(rules(),
              (std::vector<std::string>{
                  "3: tcp * 22 comm=[sshd]",
                  "4: udp 127.0.0.1 53 service=[a=b.service]",
                  "5: tcp ::1 631 comm=[a \"b\"#\t] user=[NT AUTHORITY\\SYSTEM] container=[]",
                  "6: tcp 10.0.0.1 80 comm=[] user=[DOMAIN\\alice]",
                  "24: udp * 65535 comm=[last]",
              }));
    EXPECT_EQ(errors(), (std::vector<std::string>{
                            "7 unknown protocol",
                            "8 unknown protocol",
                            "9 bad address",
                            "10 bad address",
                            "11 bad port",
                            "12 bad port",
                            "13 bad port",
                            "14 incomplete rule",
                            "15 not KEY=VALUE",
                            "16 a rule names no pid",
                            "17 unknown key",
                            "18 key given twice",
                            "19 unterminated quote",
                            "20 text after a quoted value",
                            "21 quote inside a value",
                            "22 bad escape",
                            "23 bad escape",
                        }));
}

TEST_F(Policy, ErrorsPastTheListedOnesAreOneEntry) {
    std::string text = "tcp * 1\n";
    for (int k = 0; k < POLICY_MAX_ERRORS + 5; ++k) text += "x\n";
    use_file(text);
    EXPECT_EQ(judged(), (std::vector<std::string>{"missing 1"}));
    const std::string out = capture_stdout(policy_write_after);
    EXPECT_EQ(g_policy.error_count, POLICY_MAX_ERRORS + 5);
    EXPECT_TRUE(out.ends_with(",{\"line\":65,\"error\":\"incomplete rule\"},"
                              "{\"line\":66,\"error\":\"more errors from this line on\"}]},"
                              "\"missing\":[{\"proto\":\"tcp\",\"bind_addr\":\"*\","
                              "\"port\":1,\"line\":1}],\"unjudged\":[]"))
        << out;
}

TEST_F(Policy, AFileThatCannotBeUsedJudgesNothing) {
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 22, 0);
    // Nothing at the fixed place: no policy at all.
    EXPECT_EQ(judged(), (std::vector<std::string>{"tcp 0.0.0.0 22:-1"}));
    EXPECT_EQ(g_policy.status, POLICY_NONE);

    static char big[POLICY_MAX_BYTES + 1];
    memset(big, '#', sizeof big);
    struct {
        const char *named; // PORTS_EXPECT, or null
        int outcome;
        const char *text;
        size_t len;
        const char *error;
    } cases[] = {
        {"/etc/none", PLAT_FILE_MISSING, "", 0, "file not found"},
        {nullptr, PLAT_FILE_UNREADABLE, "", 0, "file cannot be read"},
        {"/dev/zero", PLAT_FILE_NOT_REGULAR, "", 0, "not a regular file"},
        {nullptr, PLAT_FILE_READ, big, sizeof big, "file too large"},
        {nullptr, PLAT_FILE_READ, "tcp * 22\n\0\x01\x02", 12, "not a text file"},
    };
    for (const auto &c : cases) {
        if (c.named)
            setenv("PORTS_EXPECT", c.named, 1);
        else
            unsetenv("PORTS_EXPECT");
        g_fake_file_outcome = c.outcome;
        g_fake_file_text = c.text;
        g_fake_file_len = c.len;
        EXPECT_EQ(judged(), (std::vector<std::string>{"tcp 0.0.0.0 22:-1"})) << c.error;
        EXPECT_EQ(g_policy.status, POLICY_UNUSABLE) << c.error;
        EXPECT_EQ(g_policy.count, 0) << c.error;
        EXPECT_EQ(errors(), (std::vector<std::string>{std::string("0 ") + c.error}));
        EXPECT_STREQ(g_policy.path, c.named ? c.named : "/fake/expected");
    }
    // A file just within the bound is read.
    use_file(std::string(POLICY_MAX_BYTES - 9, '#') + "\ntcp * 22");
    EXPECT_EQ(judged(), (std::vector<std::string>{"tcp 0.0.0.0 22:1"}));
}

TEST_F(Policy, RulesMeetRowsByAddressAndKeys) {
    fake_image(10, "sshd");
    fake_process(10, "root", "ssh.service", "");
    fake_image(20, "dnsd");
    fake_process(20, "dns", "", "0123456789ab");
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 22, 10);
    fake_endpoint(PLAT_TCP6, "::", 22, 10);
    fake_endpoint(PLAT_TCP6, "::ffff:127.0.0.1", 8080, 0);
    fake_endpoint(PLAT_TCP6, "::1", 631, 0);
    fake_endpoint(PLAT_UDP4, "127.0.0.53", 53, 20);
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 68, 0);
    use_file("tcp 0.0.0.0 22 comm=sshd service=ssh.service user=root container=\n" // 1
             "tcp :: 22 comm=nginx\n"                     // 2: another process
             "tcp 127.0.0.1 8080\n"                       // 3: the mapped spelling
             "tcp 0:0:0::1 631\n"                         // 4: another spelling
             "udp * 53 user=dns container=0123456789ab\n" // 5
             "udp * 53 comm=dnsd\n"                       // 6: both rules match
             "tcp * 53\n"                                 // 7: another protocol
             "udp 0.0.0.0 68 comm=x\n");                  // 8
    EXPECT_EQ(judged(), (std::vector<std::string>{"tcp 0.0.0.0 22:1", "tcp :: 22:0",
                                                  "udp 127.0.0.53 53:1", "udp 0.0.0.0 68:0",
                                                  "tcp ::1 631:1", "tcp ::ffff:127.0.0.1 8080:1",
                                                  "missing 2", "missing 7", "missing 8"}));
}

TEST_F(Policy, MissingOnlyWhereEveryRowItCouldMatchWasRead) {
    use_file("tcp 10.0.0.1 80\n" // IPv4 or its mapped form: both TCP lists
             "tcp ::2 80\n"      // IPv6 TCP only
             "udp * 53\n");      // both UDP lists
    g_fake_lists[PLAT_TCP4].fail = 1;
    g_fake_lists[PLAT_UDP6].fail = 1;
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 9, 0);
    // The rules whose lists were not all read are said to be unjudged, never dropped.
    EXPECT_EQ(judged(), (std::vector<std::string>{"udp 0.0.0.0 9:0", "unjudged 1", "missing 2",
                                                  "unjudged 3"}));
    // A table cut for want of room may have left out what a rule of that protocol wants
    // (unjudged); a full table that left nothing out, or left out UDP sockets alone, has
    // every TCP listener in it.
    fake_tables_reset();
    for (int k = 0; k < MAX_ROWS; ++k) fake_endpoint(PLAT_TCP4, "0.0.0.0", 1 + k % 65535, 0);
    use_file("tcp * 1\ntcp ::1 2\nudp * 3\n");
    EXPECT_EQ(judged().back(), "missing 3");
    EXPECT_EQ(judged().end()[-2], "missing 2");
    fake_endpoint(PLAT_UDP4, "0.0.0.0", 3, 0);
    EXPECT_EQ(judged().back(), "unjudged 3");
    EXPECT_EQ(judged().end()[-2], "missing 2");
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 4, 0);
    const std::vector<std::string> got = judged();
    EXPECT_EQ(got.size(), static_cast<size_t>(MAX_ROWS) + 2);
    EXPECT_EQ(got[0], "tcp 0.0.0.0 1:1");
    EXPECT_EQ(got.end()[-2], "unjudged 2");
    EXPECT_EQ(got.back(), "unjudged 3");
}

// A policy judged under an account that cannot see every owner: a rule's keys count
// only on facts that were read, so a healthy node raises neither "missing" nor
// "unexpected" for a socket whose process was hidden.
TEST_F(Policy, NothingIsJudgedOnAFactNotRead) {
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 22, 0)->owner_hidden = 1;
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 25, 0)->owner_hidden = 1;
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 9999, 0)->owner_hidden = 1;
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 80, 30);
    fake_image(30, "nginx");
    fake_process(30, "www-data", "", "")->unread = PLAT_PROC_SERVICE | PLAT_PROC_CONTAINER;
    use_file("tcp 0.0.0.0 22 comm=sshd service=ssh.service\n" // 1: hidden: not judged
             "tcp 0.0.0.0 25\n"                              // 2: no key: judged
             "tcp 0.0.0.0 25 comm=exim4\n"                   // 3: the row is expected by 2
             "tcp 127.0.0.1 80 comm=nginx service=x\n"       // 4: the service not read
             "tcp 127.0.0.1 80 comm=apache2 service=x\n"     // 5: comm read: no match
             "tcp 127.0.0.1 81 comm=sshd\n");                // 6: nothing on that port
    EXPECT_EQ(judged(), (std::vector<std::string>{"tcp 0.0.0.0 22:-1", "tcp 0.0.0.0 25:1",
                                                  "tcp 127.0.0.1 80:-1", "tcp 0.0.0.0 9999:0",
                                                  "unjudged 1", "unjudged 3", "unjudged 4",
                                                  "missing 5", "missing 6"}));
    EXPECT_TRUE(policy_unjudged_row(0));
    EXPECT_FALSE(policy_unjudged_row(1));
    EXPECT_TRUE(policy_unjudged_row(2));
    EXPECT_EQ(capture_stdout(policy_write_after),
              ",\"policy\":{\"path\":\"/fake/expected\",\"rules\":6,\"errors\":[]},"
              "\"missing\":[{\"proto\":\"tcp\",\"bind_addr\":\"127.0.0.1\",\"port\":80,\"line\":5},"
              "{\"proto\":\"tcp\",\"bind_addr\":\"127.0.0.1\",\"port\":81,\"line\":6}],"
              "\"unjudged\":[{\"proto\":\"tcp\",\"bind_addr\":\"0.0.0.0\",\"port\":22,\"line\":1},"
              "{\"proto\":\"tcp\",\"bind_addr\":\"0.0.0.0\",\"port\":25,\"line\":3},"
              "{\"proto\":\"tcp\",\"bind_addr\":\"127.0.0.1\",\"port\":80,\"line\":4}]");
}

TEST_F(Policy, OtherNamespacesAreNotJudged) {
    // A container's listener is the container's affair: it neither breaks the policy
    // nor keeps a rule of the node's own from being missing.
    use_file("tcp * 80\n");
    fake_netns(4026532305, 0);
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 80, 0)->netns = 4026532305;
    fake_endpoint(PLAT_TCP4, "0.0.0.0", 81, 0)->netns = 4026532305;
    const int readable = detail_read(true);
    policy_load();
    policy_judge(readable);
    ASSERT_EQ(g_sock_count, 2);
    EXPECT_EQ(policy_expected(0), -1);
    EXPECT_EQ(policy_expected(1), -1);
    EXPECT_TRUE(policy_missing(g_policy.rules[0]));
}

TEST_F(Policy, QuotedValuesReadBackAsThemselves) {
    const char *values[] = {
        "plain", "a b", "x=y", "#1", "q\"uote", "back\\slash", "\t\n\r\x7f", "\xc3\xa9t\xc3\xa9",
        "\\x41", "\"",  ""};
    std::string text;
    for (const char *v : values) {
        char quoted[64];
        ASSERT_GT(policy_quote(v, quoted, sizeof quoted), 0u) << v;
        text += std::string("tcp * 1 comm=") + quoted + "\n";
    }
    use_file(text);
    policy_load();
    ASSERT_EQ(g_policy.count, static_cast<int>(std::size(values))) << text;
    for (size_t k = 0; k < std::size(values); ++k)
        EXPECT_STREQ(g_policy.rules[k].key[KEY_COMM], values[k]);
    char small[4];
    EXPECT_EQ(policy_quote("a b", small, sizeof small), 0u); // "a b" with quotes needs 6
}

TEST_F(Policy, BaselineReadBackExpectsEveryRowAndMissesNothing) {
    fake_image(10, "my server \"1\"");
    fake_process(10, "root", "my.service", "");
    fake_image(11, "tab\there");
    fake_endpoint(PLAT_TCP4, "127.0.0.1", 80, 10);
    fake_endpoint(PLAT_TCP6, "::ffff:10.0.0.1", 80, 10);
    // A group of one program's sockets gives one rule.
    for (int k = 0; k < 3; ++k) fake_endpoint(PLAT_UDP4, "0.0.0.0", 5353, 11);
    fake_endpoint(PLAT_UDP6, "::", 5353, 0);
    const std::string rules = capture_stdout([] { mode_baseline(); });
    EXPECT_EQ(rules, "tcp 127.0.0.1 80 comm=\"my server \\\"1\\\"\" service=my.service\n"
                     "tcp ::ffff:10.0.0.1 80 comm=\"my server \\\"1\\\"\" service=my.service\n"
                     "udp 0.0.0.0 5353 comm=\"tab\\x09here\"\n"
                     "udp :: 5353\n");
    use_file(rules);
    EXPECT_EQ(judged(), (std::vector<std::string>{"tcp 127.0.0.1 80:1", "tcp ::ffff:10.0.0.1 80:1",
                                                  "udp 0.0.0.0 5353:1", "udp 0.0.0.0 5353:1",
                                                  "udp 0.0.0.0 5353:1", "udp :: 5353:1"}));
    EXPECT_TRUE(errors().empty());
    // Nothing readable: a comment says why the rules are none.
    for (fake_list &l : g_fake_lists) l.fail = 1;
    EXPECT_EQ(capture_stdout([] { mode_baseline(); }), "# socket tables unreadable\n");
}

} // namespace
