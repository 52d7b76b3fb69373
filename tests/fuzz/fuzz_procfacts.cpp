// The process-fact readers over arbitrary text: /proc/PID/status, /proc/PID/stat,
// /etc/passwd and /proc/PID/cgroup (a container's processes name their own cgroups).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/procs.h"

namespace {

bool ends_with(const char *s, const char *suffix) {
    const size_t n = strlen(s), k = strlen(suffix);
    return n >= k && strcmp(s + n - k, suffix) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint32_t uid = data[0];
    const std::string raw(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string text = raw.substr(0, raw.find('\0'));

    uint32_t got = 0;
    if (lp_status_uid(text.c_str(), &got) == 1 && text.find("Uid:") == std::string::npos) abort();

    // Exact-size copy: the passwd reader takes a length, not a terminator.
    char *passwd = static_cast<char *>(malloc(raw.size() + 1));
    memcpy(passwd, raw.data(), raw.size());
    char name[16];
    if (lp_passwd_name(passwd, raw.size(), uid, name, sizeof name) == 1 &&
        (!name[0] || strpbrk(name, ":\n") || strlen(name) >= sizeof name))
        abort();
    free(passwd);

    // A task may name itself anything: the stat line's name holds any byte but NUL.
    char task[16];
    uint32_t ppid;
    uint64_t start;
    if (lp_stat_fields(text.c_str(), task, sizeof task, &ppid, &start) == 1 &&
        (strlen(task) >= sizeof task || text.find(')') == std::string::npos))
        abort();

    char unit[64], container[16];
    lp_cgroup_facts(text.c_str(), unit, sizeof unit, container, sizeof container);
    if (unit[0] &&
        (strchr(unit, '/') || strchr(unit, '\n') ||
         !(ends_with(unit, ".service") || ends_with(unit, ".socket") || ends_with(unit, ".scope"))))
        abort();
    if (container[0] &&
        (strlen(container) != 12 || strspn(container, "0123456789abcdefABCDEF") != 12))
        abort();
    return 0;
}
