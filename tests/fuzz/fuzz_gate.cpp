// The password gate agrees with a plain reading of its three forms. Input: four
// NUL-separated texts: expected password, X-Bot-Password, Authorization, query. The
// whole input is also read as a password file, whose password must be its first line.
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

// The password of a file's bytes, when there is one, is the text before its line end.
static void check_password_file(const uint8_t *data, size_t size) {
    static char out[PWD_ROOM];
    std::string text(reinterpret_cast<const char *>(data), size);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    if (password_of_file(reinterpret_cast<const char *>(data), size, 1, out) != 0) {
        if (out[0]) abort();
        return;
    }
    const size_t n = strlen(out);
    if (n == 0 || n > PASSWORD_MAX || text.compare(0, n, out) != 0) abort();
    const std::string rest = text.substr(n);
    if (!(rest.empty() || rest[0] == '\n' || rest.compare(0, 2, "\r\n") == 0 || rest == "\r"))
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    check_password_file(data, size);
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
