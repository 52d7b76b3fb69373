#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "query.h"

namespace {

struct Got {
    int found;
    std::string value;
};

Got get(const char *query, const char *name, size_t size = 64) {
    char buf[256];
    memset(buf, 'X', sizeof buf);
    const int found = get_query_val(query, name, buf, size);
    return {found, buf};
}

TEST(QueryFind, NamedParametersAmongOthers) {
    EXPECT_EQ(get("action=probe&port=8080", "port").value, "8080");
    EXPECT_EQ(get("action=probe&port=8080", "action").value, "probe");
    EXPECT_EQ(get("a=1&&port=5", "port").value, "5");
}

TEST(QueryFind, EmptyValueIsPresent) {
    Got g = get("port=&action=probe", "port");
    EXPECT_EQ(g.found, 1);
    EXPECT_EQ(g.value, "");
    g = get("x=1&port", "port"); // a name without '=' is no parameter
    EXPECT_EQ(g.found, 0);
}

TEST(QueryFind, AbsentLeavesBufferEmpty) {
    for (const char *q : {"a=1&", "a=1", "", "&", "&&", "b", "=b"}) {
        Got g = get(q, "b");
        EXPECT_EQ(g.found, 0) << q;
        EXPECT_EQ(g.value, "") << q;
    }
    Got g = get(nullptr, "b");
    EXPECT_EQ(g.found, 0);
    EXPECT_EQ(g.value, "");
}

TEST(QueryFind, NameOnlyAtStartOrAfterAmpersand) {
    EXPECT_EQ(get("xaction=1", "action").found, 0);
    EXPECT_EQ(get("actions=1", "action").found, 0);
    EXPECT_EQ(get("x=action=probe", "action").found, 0);
    EXPECT_EQ(get("Action=1", "action").found, 0); // case-sensitive
    EXPECT_EQ(get("actions=1&action=2", "action").value, "2");
}

TEST(QueryFind, FirstOccurrenceWins) {
    EXPECT_EQ(get("port=1&port=2", "port").value, "1");
    EXPECT_EQ(get("port=&port=2", "port").value, "");
}

TEST(QueryDecode, EscapesAndPlus) {
    EXPECT_EQ(get("v=%41%4a%4A", "v").value, "AJJ");
    EXPECT_EQ(get("v=a+b", "v").value, "a b");
    EXPECT_EQ(get("v=%2B%26%3D", "v").value, "+&=");
    EXPECT_EQ(get("v=%e2%82%ac", "v").value, "\xe2\x82\xac");
}

TEST(QueryDecode, BrokenEscapesStayLiteral) {
    EXPECT_EQ(get("v=100%", "v").value, "100%");
    EXPECT_EQ(get("v=%zz", "v").value, "%zz");
    EXPECT_EQ(get("v=%4", "v").value, "%4");
    EXPECT_EQ(get("v=%4g", "v").value, "%4g");
    EXPECT_EQ(get("v=%%41", "v").value, "%A");
}

TEST(QueryDecode, DecodedNulEndsTheValue) {
    Got g = get("v=%00abc", "v");
    EXPECT_EQ(g.found, 1);
    EXPECT_EQ(g.value, "");
}

TEST(QueryLimits, CutToBufferBeforeDecoding) {
    EXPECT_EQ(get("v=12345678901234567890", "v", 16).value, "123456789012345");
    // The cut splits an escape, which then stays literal.
    EXPECT_EQ(get("v=1234567890123%41", "v", 16).value, "1234567890123%4");
    EXPECT_EQ(get("v=ab", "v", 2).value, "a");
}

TEST(QueryLimits, NeverWritesPastTheBuffer) {
    char buf[8 + 8];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(get_query_val("v=aaaaaaaaaaaaaaaaaaaa", "v", buf, 8), 1);
    EXPECT_EQ(std::string(buf), "aaaaaaa");
    for (size_t i = 8; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 'Z');
}

Got whole(const char *query, const char *name, size_t size) {
    char buf[64];
    memset(buf, 'X', sizeof buf);
    const int found = get_query_whole(query, name, buf, size);
    for (size_t i = size; i < sizeof buf; ++i)
        if (buf[i] != 'X') ADD_FAILURE() << "wrote past the buffer: " << query;
    return {found, buf};
}

TEST(QueryWhole, DecodesLikeTheCutReadingWhenTheValueFits) {
    for (const char *q : {"v=%41%4a%4A", "v=100%", "v=%zz", "v=%4", "v=a+b", "v=", "a=1&v=x&v=y"}) {
        char cut[64];
        get_query_val(q, "v", cut, sizeof cut);
        EXPECT_EQ(whole(q, "v", 16).found, 1) << q;
        EXPECT_EQ(whole(q, "v", 16).value, cut) << q;
    }
    EXPECT_EQ(whole("a=1", "v", 16).found, 0);
    EXPECT_EQ(whole("a=1", "v", 16).value, "");
}

TEST(QueryWhole, WhatDoesNotFitOrHoldsANulIsRefusedNotCut) {
    // 15 characters fit in 16 bytes; 16 do not, and a cut would read another number.
    EXPECT_EQ(whole("v=123456789012345", "v", 16).value, "123456789012345");
    EXPECT_EQ(whole("v=00000000000008080", "v", 16).found, -1);
    EXPECT_EQ(whole("v=00000000000008080", "v", 16).value, "");
    // Length counts after decoding: a long raw text that decodes short fits.
    EXPECT_EQ(whole("v=%30%30%30%30%38%30&x=1", "v", 16).value, "000080");
    EXPECT_EQ(whole("v=%D0%BF%D0%B0%D1%80%D0%BE%D0%BB%D1%8C", "v", 13).value,
              "\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c");
    EXPECT_EQ(whole("v=%D0%BF%D0%B0%D1%80%D0%BE%D0%BB%D1%8C", "v", 12).found, -1);
    // A NUL anywhere would end the text early: refused.
    for (const char *q : {"v=s3cret%00junk", "v=%00", "v=ab%00"}) {
        EXPECT_EQ(whole(q, "v", 16).found, -1) << q;
        EXPECT_EQ(whole(q, "v", 16).value, "") << q;
    }
}

TEST(TextToInt32, ReadsLikeAtoiAndRefusesWhatDoesNotFit) {
    struct Case {
        const char *text;
        int rc;
        int32_t value;
    } cases[] = {
        {"", 0, 0},
        {"x1", 0, 0},
        {" \t\n\v\f\r42", 0, 42},
        {"+7", 0, 7},
        {"-0", 0, 0},
        {"12abc", 0, 12},
        {"--1", 0, 0},
        {"- 1", 0, 0},
        {"2147483647", 0, INT32_MAX},
        {"-2147483648", 0, INT32_MIN},
        {"2147483648", -1, 0},
        {"-2147483649", -1, 0},
        {"000000000000000000000000000012", 0, 12},
        {"99999999999999999999999", -1, 0},
    };
    for (const Case &c : cases) {
        int32_t v = 12345;
        EXPECT_EQ(text_to_int32(c.text, &v), c.rc) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
}

} // namespace
