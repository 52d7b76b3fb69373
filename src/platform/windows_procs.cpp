// Windows side of the process facts: the account from the process token, or from the
// configuration of the services the process runs, and the services from the service
// control manager. ADVAPI32 is a known DLL: imported, it is loaded from System32 only.

// Vista is the oldest system the program runs on; set before any header.
#define _WIN32_WINNT 0x0600
#define WIN32_LEAN_AND_MEAN

#include "platform.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "name_join.h"
#include "windows_procs.h"

namespace {

// Room for a name and a domain as LookupAccountSidW gives them (256 characters each
// at most) and for the token's user: static, too big for a small stack.
enum { NAME_CHARS = 257 };
wchar_t g_name[NAME_CHARS], g_domain[NAME_CHARS];
wchar_t g_account[2 * NAME_CHARS];

// "DOMAIN\name" of a SID (the name alone where the domain is empty); 0 on success.
int sid_account(PSID sid, char *buf, size_t size) {
    DWORD name_len = NAME_CHARS, domain_len = NAME_CHARS;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, g_name, &name_len, g_domain, &domain_len, &use) ||
        !g_name[0])
        return -1;
    size_t n = 0;
    if (g_domain[0]) {
        n = wcslen(g_domain);
        memcpy(g_account, g_domain, n * sizeof(wchar_t));
        g_account[n++] = L'\\';
    }
    const size_t k = wcslen(g_name);
    memcpy(g_account + n, g_name, k * sizeof(wchar_t));
    return win_utf8(g_account, n + k, buf, size);
}

// One running service: the process it runs in and its key name.
struct service_entry {
    DWORD pid;
    wchar_t *wide; // for OpenServiceW
    char *name;    // UTF-8
};

struct service_list {
    int tried;
    SC_HANDLE scm;
    service_entry *entries;
    size_t count;
};
service_list g_services;

int by_name(const void *a, const void *b) {
    return name_order(static_cast<const service_entry *>(a)->name,
                      static_cast<const service_entry *>(b)->name);
}

// Every running Win32 service with its process, in name order, once per run. Kept, with the
// manager's handle, until the process ends.
const service_list &services_loaded() {
    service_list &l = g_services;
    if (l.tried) return l;
    l.tried = 1;
    l.scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (!l.scm) return l;
    // The list comes in pieces, each at most 256 KiB, resumed by a handle.
    DWORD size = 65536, resume = 0;
    BYTE *buf = static_cast<BYTE *>(malloc(size));
    size_t cap = 0;
    for (bool more = buf != nullptr; more;) {
        DWORD needed = 0, returned = 0;
        const BOOL ok =
            EnumServicesStatusExW(l.scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, buf,
                                  size, &needed, &returned, &resume, nullptr);
        more = !ok && GetLastError() == ERROR_MORE_DATA;
        if (!ok && !more) break;
        if (more && returned == 0) {
            // Not even one entry fit: a bigger buffer, within the limit.
            if (needed <= size || needed > 262144) break;
            BYTE *grown = static_cast<BYTE *>(realloc(buf, needed));
            if (!grown) break;
            buf = grown;
            size = needed;
            continue;
        }
        const ENUM_SERVICE_STATUS_PROCESSW *s =
            reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW *>(buf);
        for (DWORD i = 0; i < returned; ++i) {
            const DWORD pid = s[i].ServiceStatusProcess.dwProcessId;
            if (pid == 0 || !s[i].lpServiceName) continue;
            if (l.count == cap) {
                const size_t grown = cap ? cap * 2 : 256;
                void *p = realloc(l.entries, grown * sizeof *l.entries);
                if (!p) break;
                l.entries = static_cast<service_entry *>(p);
                cap = grown;
            }
            const size_t wlen = wcslen(s[i].lpServiceName);
            service_entry e = {pid, static_cast<wchar_t *>(malloc((wlen + 1) * sizeof(wchar_t))),
                               static_cast<char *>(malloc(wlen * 3 + 1))};
            if (!e.wide || !e.name ||
                win_utf8(s[i].lpServiceName, wlen, e.name, wlen * 3 + 1) != 0) {
                free(e.wide);
                free(e.name);
                continue;
            }
            memcpy(e.wide, s[i].lpServiceName, (wlen + 1) * sizeof(wchar_t));
            l.entries[l.count++] = e;
        }
    }
    free(buf);
    if (l.count > 1) qsort(l.entries, l.count, sizeof *l.entries, by_name);
    return l;
}

// The start name of one service; 0 on success.
int start_name(SC_HANDLE scm, const wchar_t *service, char *buf, size_t size) {
    SC_HANDLE h = OpenServiceW(scm, service, SERVICE_QUERY_CONFIG);
    if (!h) return -1;
    DWORD needed = 0;
    int rc = -1;
    QueryServiceConfigW(h, nullptr, 0, &needed);
    QUERY_SERVICE_CONFIGW *config =
        needed ? static_cast<QUERY_SERVICE_CONFIGW *>(malloc(needed)) : nullptr;
    if (config && QueryServiceConfigW(h, config, needed, &needed) && config->lpServiceStartName &&
        config->lpServiceStartName[0]) {
        const wchar_t *who = config->lpServiceStartName;
        rc = _wcsicmp(who, L"LocalSystem") == 0 ? win_system_account(buf, size)
                                                : win_utf8(who, wcslen(who), buf, size);
    }
    free(config);
    CloseServiceHandle(h);
    return rc;
}

// The System process: its id has been 4 since Windows XP.
const uint32_t SYSTEM_PID = 4;

} // namespace

int win_system_account(char *buf, size_t size) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD n = sizeof sid;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, sid, &n)) return -1;
    return sid_account(sid, buf, size);
}

int win_token_account(uint32_t pid, char *buf, size_t size) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return -1;
    HANDLE token = nullptr;
    int rc = -1;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        // A TOKEN_USER and the SID it points at.
        alignas(TOKEN_USER) static BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD n = 0;
        if (GetTokenInformation(token, TokenUser, user, sizeof user, &n))
            rc = sid_account(reinterpret_cast<TOKEN_USER *>(user)->User.Sid, buf, size);
        CloseHandle(token);
    }
    CloseHandle(process);
    return rc;
}

int win_services_of(uint32_t pid, char *buf, size_t size) {
    if (size) buf[0] = '\0';
    const service_list &l = services_loaded();
    size_t n = 0;
    for (size_t i = 0; i < l.count; ++i) n += l.entries[i].pid == pid;
    if (n == 0) return 0;
    const char **names = static_cast<const char **>(malloc(n * sizeof *names));
    if (!names) return 0;
    n = 0;
    for (size_t i = 0; i < l.count; ++i)
        if (l.entries[i].pid == pid) names[n++] = l.entries[i].name;
    const size_t joined = join_names(names, n, buf, size);
    free(names);
    return static_cast<int>(joined);
}

int win_service_account(uint32_t pid, char *buf, size_t size) {
    const service_list &l = services_loaded();
    for (size_t i = 0; i < l.count; ++i)
        if (l.entries[i].pid == pid && start_name(l.scm, l.entries[i].wide, buf, size) == 0)
            return 0;
    return -1;
}

uint32_t plat_service_manager_pid() { return 0; }

void plat_process_facts(uint32_t pid, plat_process *out) {
    memset(out, 0, sizeof *out);
    if (pid == 0) return;
    // The token where the process may be opened; else what a service's configuration
    // says; the System process runs as the system.
    if (win_token_account(pid, out->user, sizeof out->user) != 0 &&
        win_service_account(pid, out->user, sizeof out->user) != 0 &&
        (pid != SYSTEM_PID || win_system_account(out->user, sizeof out->user) != 0))
        out->user[0] = '\0';
    win_services_of(pid, out->service, sizeof out->service);
}

// The tables name no account for a socket on Windows.
int plat_account_name(int64_t, char *, size_t) { return -1; }

int win_process_created(uint32_t pid, uint64_t *filetime) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return -1;
    FILETIME created, exited, kernel, user;
    const BOOL ok = GetProcessTimes(process, &created, &exited, &kernel, &user);
    CloseHandle(process);
    if (!ok) return -1;
    *filetime = static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
    return 0;
}
