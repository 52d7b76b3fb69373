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
    EXPECT_EQ(gate_check("pw", nullptr, nullptr, "pwd=pw%00"), 1); // the NUL ends the value
    EXPECT_EQ(gate_check("pw", nullptr, nullptr, "pwd="), 0);
}

TEST(GateForms, QueryFormSeesOnly255EncodedCharacters) {
    const std::string p255(255, 'k');
    const std::string p256(256, 'k');
    EXPECT_EQ(gate_check(p255.c_str(), nullptr, nullptr, ("pwd=" + p255).c_str()), 1);
    EXPECT_EQ(gate_check(p256.c_str(), nullptr, nullptr, ("pwd=" + p256).c_str()), 0);
    // The header form has no such limit.
    EXPECT_EQ(gate_check(p256.c_str(), p256.c_str(), nullptr, nullptr), 1);
}

TEST(GateForms, AWrongEarlierFormDoesNotStopALaterOne) {
    EXPECT_EQ(gate_check("pw", "wrong", "Bearer wrong", "pwd=pw"), 1);
    EXPECT_EQ(gate_check("pw", "wrong", "Bearer pw", "pwd=wrong"), 1);
    EXPECT_EQ(gate_check("pw", "wrong", "Basic pw", "pwd=wrong"), 0);
    EXPECT_EQ(gate_check("pw", nullptr, nullptr, nullptr), 0);
}

} // namespace
