#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/table_fetch.h"

namespace {

// A system table whose size at each call is scripted; a fetch with too small a buffer
// is told the size it needs, as the Windows table calls do.
struct FakeTable {
    std::vector<uint32_t> sizes; // table size at call 0, 1, ...; the last one repeats
    uint32_t fail_at;            // this call fails with another code
    uint32_t calls = 0;
    std::vector<uint32_t> offered; // buffer size of every call

    explicit FakeTable(std::vector<uint32_t> s, uint32_t fail = ~0u)
        : sizes(std::move(s)), fail_at(fail) {}

    uint32_t size_now() const { return sizes[calls < sizes.size() ? calls : sizes.size() - 1]; }
};

uint32_t fake_call(void *buf, uint32_t *size, void *ctx) {
    FakeTable *t = static_cast<FakeTable *>(ctx);
    const uint32_t need = t->size_now();
    const uint32_t call = t->calls++;
    t->offered.push_back(buf ? *size : 0);
    if (call == t->fail_at) return 87; // ERROR_INVALID_PARAMETER
    if (!buf || *size < need) {
        *size = need;
        return TABLE_INSUFFICIENT_BUFFER;
    }
    memset(buf, 0xAB, need);
    return TABLE_OK;
}

struct Fetched {
    void *buf;
    uint32_t size;
    ~Fetched() { free(buf); }
};

Fetched fetch(FakeTable &t) {
    Fetched f{nullptr, 0};
    f.buf = table_fetch(fake_call, &t, &f.size);
    return f;
}

TEST(TableFetch, SizeQueryThenOneFetch) {
    FakeTable t{{100}};
    Fetched f = fetch(t);
    ASSERT_NE(f.buf, nullptr);
    EXPECT_EQ(f.size, 100u);
    EXPECT_EQ(static_cast<unsigned char *>(f.buf)[99], 0xAB);
    EXPECT_EQ(t.offered, (std::vector<uint32_t>{0, 100}));
}

TEST(TableFetch, TableThatGrowsIsFetchedWithItsNewSize) {
    FakeTable t{{100, 140, 180}};
    Fetched f = fetch(t);
    ASSERT_NE(f.buf, nullptr);
    EXPECT_EQ(f.size, 180u);
    EXPECT_EQ(t.offered, (std::vector<uint32_t>{0, 100, 140, 180}));
}

TEST(TableFetch, TableThatKeepsGrowingGivesUpAfterTheRetries) {
    std::vector<uint32_t> sizes;
    for (uint32_t i = 1; i <= 20; ++i) sizes.push_back(100 * i);
    FakeTable t{sizes};
    Fetched f = fetch(t);
    EXPECT_EQ(f.buf, nullptr);
    // The size query, the first fetch and the retries: bounded, never a loop.
    EXPECT_EQ(t.calls, 2u + TABLE_FETCH_RETRIES);
}

TEST(TableFetch, TableThatShrinksStillFits) {
    FakeTable t{{100, 60}};
    Fetched f = fetch(t);
    ASSERT_NE(f.buf, nullptr);
    EXPECT_EQ(f.size, 100u);
}

TEST(TableFetch, FailuresGiveNoTable) {
    FakeTable empty{{0}};
    EXPECT_EQ(fetch(empty).buf, nullptr);
    EXPECT_EQ(empty.calls, 1u);

    FakeTable size_query_fails{{100}, 0};
    EXPECT_EQ(fetch(size_query_fails).buf, nullptr);
    EXPECT_EQ(size_query_fails.calls, 1u);

    FakeTable fetch_fails{{100}, 1};
    EXPECT_EQ(fetch(fetch_fails).buf, nullptr);
    EXPECT_EQ(fetch_fails.calls, 2u);

    FakeTable retry_fails{{100, 200}, 2};
    EXPECT_EQ(fetch(retry_fails).buf, nullptr);
    EXPECT_EQ(retry_fails.calls, 3u);
}

} // namespace
