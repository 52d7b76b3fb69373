// The password gate agrees with a plain reading of its three forms. Input: four
// NUL-separated texts: expected password, X-Bot-Password, Authorization, query.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gate.h"
#include "query.h"

static bool bearer_matches(const std::string &auth, const std::string &expected) {
    size_t i = auth.find_first_not_of(' ');
    if (i == std::string::npos || auth.compare(i, 7, "Bearer ") != 0) return false;
    i = auth.find_first_not_of(' ', i + 7);
    return (i == std::string::npos ? std::string() : auth.substr(i)) == expected;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string parts[4];
    size_t k = 0;
    for (size_t i = 0; i < size && k < 4; ++i) {
        if (data[i] == 0)
            ++k;
        else
            parts[k] += static_cast<char>(data[i]);
    }
    const std::string &expected = parts[0];
    if (expected.empty()) return 0;

    static char pwd[PWD_ROOM];
    const bool want =
        parts[1] == expected || bearer_matches(parts[2], expected) ||
        (get_query_whole(parts[3].c_str(), "pwd", pwd, sizeof pwd) == 1 && expected == pwd);
    const int got =
        gate_check(expected.c_str(), parts[1].c_str(), parts[2].c_str(), parts[3].c_str());
    if (got != (want ? 1 : 0)) abort();
    if (secret_equal(parts[1].c_str(), expected.c_str()) != (parts[1] == expected)) abort();
    return 0;
}
