#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_platform.h"
#include "gate.h"

namespace {

TEST(SecretEqual, WholeTextsOnly) {
    EXPECT_EQ(secret_equal("s3cret", "s3cret"), 1);
    EXPECT_EQ(secret_equal("s3cre", "s3cret"), 0);
    EXPECT_EQ(secret_equal("s3crett", "s3cret"), 0);
    EXPECT_EQ(secret_equal("S3cret", "s3cret"), 0);
    EXPECT_EQ(secret_equal("", "s3cret"), 0);
    EXPECT_EQ(secret_equal("s3cret ", "s3cret"), 0);
    EXPECT_EQ(secret_equal("\xff\x80", "\xff\x80"), 1);
    EXPECT_EQ(secret_equal("\xff\x81", "\xff\x80"), 0);
}

TEST(GateForms, HeaderIsExact) {
    EXPECT_EQ(gate_check("pw", "pw", nullptr, nullptr), 1);
    EXPECT_EQ(gate_check("pw", " pw", nullptr, nullptr), 0);
    EXPECT_EQ(gate_check("pw", "PW", nullptr, nullptr), 0);
    EXPECT_EQ(gate_check("pw", "", nullptr, nullptr), 0);
}

TEST(GateForms, Bearer) {
    EXPECT_EQ(gate_check("pw", nullptr, "Bearer pw", nullptr), 1);
    EXPECT_EQ(gate_check("pw", nullptr, "   Bearer     pw", nullptr), 1);
    EXPECT_EQ(gate_check("pw", nullptr, "Bearer pw ", nullptr), 0);
    EXPECT_EQ(gate_check("pw", nullptr, "bearer pw", nullptr), 0);
    EXPECT_EQ(gate_check("pw", nullptr, "BEARER pw", nullptr), 0);
    EXPECT_EQ(gate_check("pw", nullptr, "\tBearer pw", nullptr), 0);
    EXPECT_EQ(gate_check("pw", nullptr, "Bearer\tpw", nullptr), 0);
    EXPECT_EQ(gate_check("pw", nullptr, "Basic pw", nullptr), 0);
    EXPECT_EQ(gate_check("pw", nullptr, "pw", nullptr), 0);
    EXPECT_EQ(gate_check("pw", nullptr, "Bearer", nullptr), 0);
    // Blanks inside the password stay significant.
    EXPECT_EQ(gate_check("p w", nullptr, "Bearer p w", nullptr), 1);
    EXPECT_EQ(gate_check(" pw", nullptr, "Bearer  pw", nullptr), 0);
}

TEST(GateForms, QueryParameterIsDecoded) {
    EXPECT_EQ(gate_check("pw", nullptr, nullptr, "pwd=pw"), 1);
    EXPECT_EQ(gate_check("p w", nullptr, nullptr, "action=probe&pwd=p%20w"), 1);
    EXPECT_EQ(gate_check("p w", nullptr, nullptr, "pwd=p+w&port=1"), 1);
    EXPECT_EQ(gate_check("a&b", nullptr, nullptr, "pwd=a%26b"), 1);
    EXPECT_EQ(gate_check("pw", nullptr, nullptr, "xpwd=pw"), 0);
    EXPECT_EQ(gate_check("pw", nullptr, nullptr, "pwd=pw2"), 0);
    EXPECT_EQ(gate_check("pw", nullptr, nullptr, "pwd="), 0);
}

TEST(GateForms, QueryFormComparesTheWholeValue) {
    // A value cut short or ended by a NUL must not pass for the password it starts with.
    EXPECT_EQ(gate_check("s3cret", nullptr, nullptr, "pwd=s3cret%00junk"), 0);
    EXPECT_EQ(gate_check("pw", nullptr, nullptr, "pwd=pw%00"), 0);
    const std::string p255(255, 'k');
    EXPECT_EQ(gate_check(p255.c_str(), nullptr, nullptr, ("pwd=" + p255 + "EXTRA").c_str()), 0);
    // 1,024 bytes fit, sent as they are or percent-encoded (3,072 raw characters, as the
    // page sends 512 Cyrillic letters); one byte more never matches.
    std::string cyrillic, encoded;
    for (int i = 0; i < 512; ++i) {
        cyrillic += "\xd0\xb6";
        encoded += "%D0%B6";
    }
    EXPECT_EQ(gate_check(cyrillic.c_str(), nullptr, nullptr, ("pwd=" + encoded).c_str()), 1);
    EXPECT_EQ(gate_check(cyrillic.c_str(), nullptr, nullptr, ("pwd=" + encoded + "%20").c_str()),
              0);
    const std::string p1024(1024, 'k'), p1025(1025, 'k');
    EXPECT_EQ(gate_check(p1024.c_str(), nullptr, nullptr, ("pwd=" + p1024).c_str()), 1);
    EXPECT_EQ(gate_check(p1025.c_str(), nullptr, nullptr, ("pwd=" + p1025).c_str()), 0);
    // The header form has no such limit.
    EXPECT_EQ(gate_check(p1025.c_str(), p1025.c_str(), nullptr, nullptr), 1);
}

TEST(GateForms, AWrongEarlierFormDoesNotStopALaterOne) {
    EXPECT_EQ(gate_check("pw", "wrong", "Bearer wrong", "pwd=pw"), 1);
    EXPECT_EQ(gate_check("pw", "wrong", "Bearer pw", "pwd=wrong"), 1);
    EXPECT_EQ(gate_check("pw", "wrong", "Basic pw", "pwd=wrong"), 0);
    EXPECT_EQ(gate_check("pw", nullptr, nullptr, nullptr), 0);
}

// The first line of a password file, as the operator's editor wrote it.
TEST(PasswordFile, FirstLineWithoutItsLineEnd) {
    char out[PWD_ROOM];
    struct {
        std::string bytes;
        int whole;
        const char *password; // null: no usable password
    } cases[] = {
        {"s3cret", 1, "s3cret"},
        {"s3cret\n", 1, "s3cret"},
        {"s3cret\r\nsecond line\n", 1, "s3cret"},
        {"\xEF\xBB\xBFs3cret\r\n", 1, "s3cret"}, // Notepad's byte order mark
        {" pass word \n", 1, " pass word "},        // blanks are the password's
        {"\xd0\xbf\xd0\xb0\n", 1, "\xd0\xbf\xd0\xb0"},
        {"", 1, nullptr},
        {"\n", 1, nullptr},
        {"\r\nsecond\n", 1, nullptr},
        {std::string("pw\0x\n", 5), 1, nullptr},
        {"caf\xe9\n", 1, nullptr}, // a legacy code page's bytes
        {"s3cret", 0, nullptr},     // no line end in what was read, and more to come
        {"s3cret\n", 0, "s3cret"},
    };
    for (const auto &c : cases) {
        const int rc = password_of_file(c.bytes.data(), c.bytes.size(), c.whole, out);
        if (c.password) {
            EXPECT_EQ(rc, 0) << c.bytes;
            EXPECT_STREQ(out, c.password);
        } else {
            EXPECT_EQ(rc, -1) << c.bytes;
            EXPECT_STREQ(out, "");
        }
    }
    const std::string p1024(1024, 'k'), p1025(1025, 'k');
    EXPECT_EQ(password_of_file((p1024 + "\r\n").data(), 1026, 1, out), 0);
    EXPECT_EQ(password_of_file((p1025 + "\n").data(), 1026, 1, out), -1);
}

class NodePassword : public ::testing::Test {
  protected:
    void SetUp() override { fake_tables_reset(); }
    static void file(int outcome, const char *text) {
        g_fake_file_outcome = outcome;
        g_fake_file_text = text;
        g_fake_file_len = strlen(text);
    }
};

TEST_F(NodePassword, TheVariableWinsThenTheFile) {
    const char *expected = nullptr;
    file(PLAT_FILE_READ, "from-file\n");
    EXPECT_EQ(node_password("from-env", &expected), PASSWORD_SET);
    EXPECT_STREQ(expected, "from-env");
    for (const char *unset : {static_cast<const char *>(nullptr), ""}) {
        EXPECT_EQ(node_password(unset, &expected), PASSWORD_SET);
        EXPECT_STREQ(expected, "from-file");
    }
    file(PLAT_FILE_MISSING, "");
    EXPECT_EQ(node_password("", &expected), PASSWORD_NONE);
    EXPECT_EQ(expected, nullptr);
    // A variable that is set still wins over a file that cannot be used.
    file(PLAT_FILE_EXPOSED, "");
    EXPECT_EQ(node_password("from-env", &expected), PASSWORD_SET);
}

TEST_F(NodePassword, AFileThatCannotBeUsedClosesTheGate) {
    const char *expected = nullptr;
    for (int outcome : {int(PLAT_FILE_UNREADABLE), int(PLAT_FILE_NOT_REGULAR), int(PLAT_FILE_EXPOSED)}) {
        file(outcome, "s3cret\n");
        EXPECT_EQ(node_password(nullptr, &expected), PASSWORD_UNUSABLE) << outcome;
        EXPECT_EQ(expected, nullptr);
    }
    file(PLAT_FILE_READ, "\n");
    EXPECT_EQ(node_password(nullptr, &expected), PASSWORD_UNUSABLE);
    // A first line longer than any password: never cut to one.
    const std::string longer(PASSWORD_MAX + 10, 'k');
    file(PLAT_FILE_READ, longer.c_str());
    EXPECT_EQ(node_password(nullptr, &expected), PASSWORD_UNUSABLE);
}

} // namespace
