#include <gtest/gtest.h>

#include "capture.h"
#include "entry.h"

namespace {

TEST(Route, FirstMatchingTestWins) {
    struct Case {
        const char *query;
        const char *method;
        int kind;
    } cases[] = {
        {"", nullptr, ROUTE_FULL_PAGE},
        {"action=probe", nullptr, ROUTE_JSON},
        {"reaction=x", nullptr, ROUTE_JSON}, // substring test
        {"x=action=probe", nullptr, ROUTE_JSON},
        {"format=json", nullptr, ROUTE_JSON},
        {"format=jsonp", nullptr, ROUTE_JSON},
        {"format=JSON", nullptr, ROUTE_FULL_PAGE},
        {"", "POST", ROUTE_JSON},
        {"", "post", ROUTE_FULL_PAGE},
        {"", "GET", ROUTE_FULL_PAGE},
        {"embed=1&action=probe&port=80", nullptr, ROUTE_JSON},
        {"embed=1", "POST", ROUTE_JSON},
        {"embed=1", nullptr, ROUTE_EMBEDDED_PAGE},
        {"embed=10", nullptr, ROUTE_EMBEDDED_PAGE},
        {"embed=true", nullptr, ROUTE_EMBEDDED_PAGE},
        {"xembed=true", nullptr, ROUTE_EMBEDDED_PAGE},
        {"embed=0", nullptr, ROUTE_FULL_PAGE},
        {"embed=TRUE", nullptr, ROUTE_FULL_PAGE},
        {"action", nullptr, ROUTE_FULL_PAGE},
    };
    for (const Case &c : cases)
        EXPECT_EQ(route_request(c.query, c.method), c.kind)
            << c.query << " " << (c.method ? c.method : "(none)");
}

TEST(Meta, ExactRecord) {
    const std::string out = capture_stdout([] { mode_meta(); });
    EXPECT_EQ(out, "{\"name\":\"ports\",\"desc\":\"Listening TCP\"}\n");
    EXPECT_EQ(out.size(), 40u);
}

} // namespace
