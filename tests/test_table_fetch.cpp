#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/windows/table_fetch.h"

namespace {

// A system table whose size at each call is scripted; a fetch with too small a buffer
// is told the size it needs, as the Windows table calls do.
struct FakeTable {
    std::vector<uint32_t> sizes; // table size at call 0, 1, ...; the last one repeats
    uint32_t fail_at;            // this call fails with another code
    std::vector<uint32_t> unsuccessful; // these calls answer STATUS_UNSUCCESSFUL
    uint32_t calls = 0;
    std::vector<uint32_t> offered; // buffer size of every call

    explicit FakeTable(std::vector<uint32_t> s, uint32_t fail = ~0u,
                       std::vector<uint32_t> unsuccessful_calls = {})
        : sizes(std::move(s)), fail_at(fail), unsuccessful(std::move(unsuccessful_calls)) {}

    uint32_t size_now() const { return sizes[calls < sizes.size() ? calls : sizes.size() - 1]; }
};

uint32_t fake_call(void *buf, uint32_t *size, void *ctx) {
    FakeTable *t = static_cast<FakeTable *>(ctx);
    const uint32_t need = t->size_now();
    const uint32_t call = t->calls++;
    t->offered.push_back(buf ? *size : 0);
    if (call == t->fail_at) return 87; // ERROR_INVALID_PARAMETER
    for (uint32_t u : t->unsuccessful)
        if (call == u) return TABLE_UNSUCCESSFUL;
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

// Sizes that each outgrow the room the fetch before them had.
std::vector<uint32_t> outgrowing(uint32_t first, int n) {
    std::vector<uint32_t> sizes{first};
    while (static_cast<int>(sizes.size()) < n) sizes.push_back(table_room(sizes.back()) + 1);
    return sizes;
}

TEST(TableFetch, SizeQueryThenOneFetch) {
    FakeTable t{{100}};
    Fetched f = fetch(t);
    ASSERT_NE(f.buf, nullptr);
    EXPECT_EQ(f.size, table_room(100));
    EXPECT_EQ(static_cast<unsigned char *>(f.buf)[99], 0xAB);
    EXPECT_EQ(t.offered, (std::vector<uint32_t>{0, table_room(100)}));
}

// A busy host's table grows between the size query and the fetch: the room to spare
// takes that in without a second fetch.
TEST(TableFetch, RoomToSpareTakesInGrowth) {
    FakeTable t{{100, 100 + 4096}};
    Fetched f = fetch(t);
    ASSERT_NE(f.buf, nullptr);
    EXPECT_EQ(t.calls, 2u);
    EXPECT_GE(table_room(0), 4096u);
    EXPECT_GE(table_room(1000000), 1250000u);
    // No wrap-around at the top of the range.
    EXPECT_EQ(table_room(UINT32_MAX - 10), UINT32_MAX);
}

TEST(TableFetch, TableThatGrowsIsFetchedWithItsNewSize) {
    const std::vector<uint32_t> sizes = outgrowing(100, 3);
    FakeTable t{sizes};
    Fetched f = fetch(t);
    ASSERT_NE(f.buf, nullptr);
    EXPECT_EQ(f.size, table_room(sizes[2]));
    EXPECT_EQ(t.offered, (std::vector<uint32_t>{0, table_room(sizes[0]), table_room(sizes[1]),
                                                table_room(sizes[2])}));
}

TEST(TableFetch, TableThatKeepsGrowingGivesUpAfterTheRetries) {
    FakeTable t{outgrowing(100, 20)};
    Fetched f = fetch(t);
    EXPECT_EQ(f.buf, nullptr);
    // The size query, the first fetch and the retries: bounded, never a loop.
    EXPECT_EQ(t.calls, 2u + TABLE_FETCH_RETRIES);
}

TEST(TableFetch, TableThatShrinksStillFits) {
    FakeTable t{{100, 60}};
    Fetched f = fetch(t);
    ASSERT_NE(f.buf, nullptr);
    EXPECT_EQ(f.size, table_room(100));
}

// STATUS_UNSUCCESSFUL, which the table calls answer when the table changed under them,
// is called again, at the size query as at the fetch, and never for ever.
TEST(TableFetch, UnsuccessfulCallsAreRepeated) {
    FakeTable at_fetch{{100}, ~0u, {1, 2}};
    Fetched f = fetch(at_fetch);
    ASSERT_NE(f.buf, nullptr);
    EXPECT_EQ(at_fetch.offered,
              (std::vector<uint32_t>{0, table_room(100), table_room(100), table_room(100)}));

    FakeTable at_query{{100}, ~0u, {0}};
    Fetched g = fetch(at_query);
    ASSERT_NE(g.buf, nullptr);
    EXPECT_EQ(at_query.offered, (std::vector<uint32_t>{0, 0, table_room(100)}));

    // Growth and failures share one bound.
    FakeTable mixed{outgrowing(100, 3), ~0u, {1, 3}};
    Fetched h = fetch(mixed);
    ASSERT_NE(h.buf, nullptr);
    EXPECT_EQ(mixed.calls, 5u);

    std::vector<uint32_t> every;
    for (uint32_t i = 0; i < 20; ++i) every.push_back(i);
    FakeTable always{{100}, ~0u, every};
    EXPECT_EQ(fetch(always).buf, nullptr);
    EXPECT_EQ(always.calls, 2u + TABLE_FETCH_RETRIES);
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

    FakeTable retry_fails{outgrowing(100, 2), 2};
    EXPECT_EQ(fetch(retry_fails).buf, nullptr);
    EXPECT_EQ(retry_fails.calls, 3u);
}

} // namespace
