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

namespace {

std::string cut(const std::string &name, size_t size) {
    std::vector<char> buf(size, 'x');
    cut_name(name.c_str(), buf.data(), size);
    return buf.data();
}

// A process name longer than its room (the process answer's 255 bytes) is cut between
// characters, never dropped and never ended inside one.
TEST(CutName, BetweenCharactersToTheRoom) {
    EXPECT_EQ(cut("svchost.exe", 256), "svchost.exe");
    EXPECT_EQ(cut("abc", 4), "abc");
    EXPECT_EQ(cut("abcd", 4), "abc");
    // 100 three-byte characters (300 bytes) in 256 bytes: 85 of them.
    std::string cjk;
    for (int i = 0; i < 100; ++i) cjk += "\xe8\xa1\xa8";
    EXPECT_EQ(cut(cjk, 256), cjk.substr(0, 255));
    EXPECT_EQ(cut(cjk, 255), cjk.substr(0, 252));
    EXPECT_EQ(cut("\xf0\x9f\x98\x80z", 4), "");
    EXPECT_EQ(cut("a\xf0\x9f\x98\x80", 5), "a");
    EXPECT_EQ(cut("a\xf0\x9f\x98\x80", 6), "a\xf0\x9f\x98\x80");
}

} // namespace
