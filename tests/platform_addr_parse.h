// What address parsing gives on every platform; each platform's tests add their own.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"

inline void expect_address_parsing() {
    unsigned char a[16];
    int ipv6 = -1;
    ASSERT_EQ(plat_addr_parse("10.1.2.3", &ipv6, a), 0);
    EXPECT_EQ(ipv6, 0);
    EXPECT_EQ(memcmp(a, "\x0a\x01\x02\x03", 4), 0);
    ASSERT_EQ(plat_addr_parse("2001:db8::1", &ipv6, a), 0);
    EXPECT_EQ(ipv6, 1);
    EXPECT_EQ(memcmp(a, "\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x01", 16), 0);
    // A mapped address is an IPv6 address to the platform; the logic maps it.
    ASSERT_EQ(plat_addr_parse("::ffff:127.0.0.1", &ipv6, a), 0);
    EXPECT_EQ(ipv6, 1);
    for (const char *bad : {"", "10.1.2", "1.2.3.256", "::1::", "host"})
        EXPECT_EQ(plat_addr_parse(bad, &ipv6, a), -1) << bad;
}
