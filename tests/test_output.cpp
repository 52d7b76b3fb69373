#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "capture.h"
#include "fake_platform.h"
#include "output.h"

namespace {

std::string js(const std::string &text) {
    return capture_stdout([&] { json_str(text.c_str()); });
}

TEST(JsonStr, PlainAndEmpty) {
    EXPECT_EQ(js(""), "\"\"");
    EXPECT_EQ(js("svc.exe"), "\"svc.exe\"");
    EXPECT_EQ(js("a/b"), "\"a/b\""); // '/' is not escaped
}

TEST(JsonStr, TwoCharacterEscapes) { EXPECT_EQ(js("\"\\\t\n\r"), "\"\\\"\\\\\\t\\n\\r\""); }

TEST(JsonStr, OtherControlBytesAsUnicodeEscapes) {
    EXPECT_EQ(js("\x01"), "\"\\u0001\"");
    EXPECT_EQ(js("\x1f"), "\"\\u001f\"");
    EXPECT_EQ(js("\x08\x0c\x0b"), "\"\\u0008\\u000c\\u000b\"");
    for (int c = 1; c < 32; ++c) {
        const std::string out = js(std::string(1, static_cast<char>(c)));
        if (c == 9 || c == 10 || c == 13)
            EXPECT_EQ(out.size(), 4u) << c;
        else
            EXPECT_EQ(out.size(), 8u) << c;
    }
}

TEST(JsonStr, HighBytesAndDelPassUnchanged) {
    EXPECT_EQ(js("\x7f"), "\"\x7f\"");
    EXPECT_EQ(js("caf\xc3\xa9.exe"), "\"caf\xc3\xa9.exe\"");
    EXPECT_EQ(js("\xff\x80"), "\"\xff\x80\"");
}

TEST(JsonStr, LongTextsAcrossTheWriteBuffer) {
    // Escapes placed at every offset around the internal buffer's size.
    for (size_t len = 240; len < 270; ++len) {
        std::string in(len, 'a');
        in[len - 1] = '\x01';
        in[len / 2] = '"';
        std::string want(1, '"');
        want.append(len / 2, 'a').append("\\\"");
        want.append(len - len / 2 - 2, 'a').append("\\u0001\"");
        EXPECT_EQ(js(in), want) << len;
    }
    const std::string big(100000, '\\');
    std::string want(1, '"');
    want.append(200000, '\\').push_back('"');
    EXPECT_EQ(js(big), want);
}

TEST(Numbers, PlainDecimal) {
    EXPECT_EQ(capture_stdout([] { out_int(0); }), "0");
    EXPECT_EQ(capture_stdout([] { out_int(-1); }), "-1");
    EXPECT_EQ(capture_stdout([] { out_int(INT_MIN); }), "-2147483648");
    EXPECT_EQ(capture_stdout([] { out_ms(2001); }), "2001");
    EXPECT_EQ(capture_stdout([] { out_ms(-5); }), "-5");
    EXPECT_EQ(capture_stdout([] { out_bool(1); }), "true");
    EXPECT_EQ(capture_stdout([] { out_bool(0); }), "false");
}

TEST(FixedText, PercentIsNotFormatted) {
    EXPECT_EQ(capture_stdout([] { out_lit("100%d%s\n"); }), "100%d%s\n");
    EXPECT_EQ(capture_stdout([] { out_text("a%nb"); }), "a%nb");
}

TEST(Clock, ReadsThePlatformClock) {
    g_fake_clock_ms = 5000;
    g_fake_clock_step = 7;
    const int64_t a = now_ms();
    const int64_t b = now_ms();
    EXPECT_EQ(a, 5000);
    EXPECT_EQ(b - a, 7);
    g_fake_clock_step = 0;
}

} // namespace
