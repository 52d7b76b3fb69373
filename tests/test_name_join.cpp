// Joining the services of one process (the Windows service list), built natively.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/windows/name_join.h"

namespace {

std::string joined(std::vector<const char *> names, size_t size, size_t *count = nullptr) {
    std::vector<char> buf(size ? size : 1, 'x');
    const size_t n = join_names(names.data(), names.size(), buf.data(), size);
    if (count) *count = n;
    return size ? std::string(buf.data()) : "(untouched)";
}

TEST(JoinNames, NameOrderWithoutRegardToCase) {
    EXPECT_EQ(joined({"Dnscache", "BFE", "mpssvc", "bits", "CryptSvc"}, 256),
              "BFE,bits,CryptSvc,Dnscache,mpssvc");
    // Equal but for case: the bytes decide, whatever the order they came in.
    EXPECT_EQ(joined({"svc", "SVC", "Svc"}, 64), "SVC,Svc,svc");
    EXPECT_EQ(joined({"Svc", "svc", "SVC"}, 64), "SVC,Svc,svc");
    EXPECT_EQ(joined({"a_b", "a", "aB", "\xc3\xa9t\xc3\xa9"}, 64), "a,a_b,aB,\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(joined({"only"}, 64), "only");
    EXPECT_EQ(joined({}, 64), "");
}

TEST(JoinNames, NamesStayWholeWhenTheRoomRunsOut) {
    size_t n = 0;
    EXPECT_EQ(joined({"ccc", "aaa", "bbb"}, 12, &n), "aaa,bbb,ccc");
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(joined({"ccc", "aaa", "bbb"}, 11, &n), "aaa,bbb"); // no room for the terminator
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(joined({"a", "longer-name", "z"}, 8, &n), "a"); // the rest stays out
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(joined({"toolong"}, 4, &n), "");
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(joined({"a"}, 0, &n), "(untouched)");
}

} // namespace
