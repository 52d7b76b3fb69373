#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "target.h"

namespace {

TEST(TargetFromText, AddressesInStandardFormAndWhatIsRefused) {
    struct Case {
        const char *text;
        int result;
        int ipv6;
        const char *shown;
        bool loopback;
    } cases[] = {
        {"127.0.0.1", 0, 0, "127.0.0.1", true},
        {"127.255.255.254", 0, 0, "127.255.255.254", true},
        {"128.0.0.1", 0, 0, "128.0.0.1", false},
        {"::1", 0, 1, "::1", true},
        {"0:0:0:0:0:0:0:1", 0, 1, "::1", true},
        {"::2", 0, 1, "::2", false},
        {"FE80::1", 0, 1, "fe80::1", false},
        // A mapped address is the IPv4 address it maps.
        {"::ffff:10.1.2.3", 0, 0, "10.1.2.3", false},
        {"::FFFF:7f00:2", 0, 0, "127.0.0.2", true},
        // Compatible (not mapped) addresses stay IPv6.
        {"::127.0.0.1", 0, 1, "::127.0.0.1", false},
        // A zone, the wildcards, no address at all.
        {"fe80::1%eth0", -1, 0, "", false},
        {"::1%1", -1, 0, "", false},
        {"0.0.0.0", -1, 0, "", false},
        {"::", -1, 0, "", false},
        {"::ffff:0.0.0.0", -1, 0, "", false},
        {"", -1, 0, "", false},
        {"localhost", -1, 0, "", false},
    };
    for (const Case &c : cases) {
        probe_target t;
        ASSERT_EQ(target_from_text(c.text, &t), c.result) << c.text;
        if (c.result) continue;
        EXPECT_EQ(t.ipv6, c.ipv6) << c.text;
        EXPECT_EQ(std::string(t.text), c.shown) << c.text;
        EXPECT_EQ(target_is_loopback(&t), c.loopback) << c.text;
    }
}

class Listened : public ::testing::Test {
  protected:
    void SetUp() override { fake_tables_reset(); }
    bool listened(const char *text) {
        probe_target t;
        EXPECT_EQ(target_from_text(text, &t), 0) << text;
        return target_is_listened_on(&t);
    }
};

TEST_F(Listened, ComparesAddressBytesOfTcpListenersOnly) {
    fake_endpoint(PLAT_TCP4, "192.0.2.7", 22, 0);
    fake_endpoint(PLAT_TCP4, "32.1.13.184", 22, 0); // the first 4 bytes of 2001:db8::
    fake_endpoint(PLAT_TCP6, "::ffff:198.51.100.4", 80, 0);
    fake_endpoint(PLAT_TCP4, "192.0.2.8", 22, 0)->state = 5; // an established connection
    fake_endpoint(PLAT_UDP4, "192.0.2.9", 53, 0);
    fake_endpoint(PLAT_UDP6, "2001:db8::9", 53, 0);
    EXPECT_TRUE(listened("192.0.2.7"));
    // The addresses alone: no walk over the processes for their owners.
    EXPECT_EQ(g_fake_flags, PLAT_ADDRESSES);
    EXPECT_TRUE(listened("::ffff:192.0.2.7"));
    // An IPv6 listener on a mapped address serves its IPv4 address.
    EXPECT_TRUE(listened("198.51.100.4"));
    EXPECT_FALSE(listened("2001:db8::"));
    EXPECT_FALSE(listened("192.0.2.8"));
    EXPECT_FALSE(listened("192.0.2.9"));
    EXPECT_FALSE(listened("2001:db8::9"));
}

TEST_F(Listened, UnreadableTcpListsHoldNoListener) {
    fake_endpoint(PLAT_TCP4, "192.0.2.7", 22, 0);
    fake_endpoint(PLAT_TCP6, "2001:db8::5", 22, 0);
    g_fake_lists[PLAT_UDP4].fail = g_fake_lists[PLAT_UDP6].fail = 1;
    EXPECT_TRUE(listened("192.0.2.7"));
    EXPECT_TRUE(listened("2001:db8::5"));
    g_fake_lists[PLAT_TCP4].fail = g_fake_lists[PLAT_TCP6].fail = 1;
    EXPECT_FALSE(listened("192.0.2.7"));
    EXPECT_FALSE(listened("2001:db8::5"));
}

// A row offers a probe where a probe of its own address would be taken.
TEST(TargetRowProbe, OnlyTcpRowsOnAnAddressOfThisHost) {
    fake_tables_reset();
    fake_local_addr("192.0.2.7");
    fake_local_addr("fe80::1");
    for (const char *a :
         {"0.0.0.0", "::", "127.0.0.9", "::1", "192.0.2.7", "::ffff:192.0.2.7", "fe80::1"})
        EXPECT_TRUE(target_row_probe("tcp", a)) << a;
    // Another host's address (a listener bound with IP_FREEBIND), the mapped wildcard,
    // which names no host, and an address the table could not name.
    for (const char *a : {"192.0.2.8", "::ffff:0.0.0.0", "unknown"})
        EXPECT_FALSE(target_row_probe("tcp", a)) << a;
    for (const char *a : {"127.0.0.1", "0.0.0.0"}) EXPECT_FALSE(target_row_probe("udp", a)) << a;
}

} // namespace
