#include <gtest/gtest.h>

#include <ctime>

#include "platform/platform.h"

namespace {

TEST(Clock, MonotonicAndInMilliseconds) {
    const uint64_t a = plat_clock_ms();
    timespec pause{0, 30 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    const uint64_t b = plat_clock_ms();
    EXPECT_GE(b - a, 29u);
    EXPECT_LT(b - a, 10000u);
}

TEST(Clock, UtcNowIsCalendarTime) {
    struct tm t;
    ASSERT_EQ(plat_utc_now(&t), 0);
    EXPECT_GE(t.tm_year + 1900, 2024);
    EXPECT_LT(t.tm_mon, 12);
}

TEST(Start, SocketsNeedNoStart) { EXPECT_EQ(plat_net_start(), 0); }

} // namespace
