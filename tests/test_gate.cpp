#include <gtest/gtest.h>

#include <string>

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

} // namespace
