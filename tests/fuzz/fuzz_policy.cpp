// The file of expected listeners: any bytes parse without a fault into rules whose every
// field is in range; and any value, quoted as --baseline quotes it, reads back as itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > POLICY_MAX_BYTES) return 0;
    // An exact-size heap buffer with the one spare byte the parser may use.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const char *const begin = text.data(), *const end = begin + text.size();
    policy_parse(text.data(), size);
    for (int k = 0; k < g_policy.count; ++k) {
        const policy_rule &r = g_policy.rules[k];
        if (r.port < 1 || r.port > 65535 || r.line < 1) abort();
        for (const char *v : r.key)
            if (v && (v < begin || v + strlen(v) >= end)) abort();
    }

    // The input up to its first NUL as a value, quoted into one rule line.
    const std::string value(reinterpret_cast<const char *>(data),
                            strnlen(reinterpret_cast<const char *>(data), size));
    std::vector<char> quoted(4 * value.size() + 3);
    if (policy_quote(value.c_str(), quoted.data(), quoted.size()) == 0) abort();
    std::string line = std::string("udp * 9 service=") + quoted.data() + " # after\n";
    policy_parse(line.data(), line.size() - 1);
    if (g_policy.count != 1 || g_policy.error_count != 0 ||
        strcmp(g_policy.rules[0].key[KEY_SERVICE], value.c_str()) != 0)
        abort();
    return 0;
}
