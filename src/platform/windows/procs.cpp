// Windows side of the process facts: the account from the process token, or from the
// configuration of the services the process runs, and the services from the service
// control manager. ADVAPI32 is a known DLL: imported, it is loaded from System32 only.

// Vista is the oldest system the program runs on; set before any header.
#define _WIN32_WINNT 0x0600
#define WIN32_LEAN_AND_MEAN

#include "platform/platform.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "platform/windows/lookup.h"
#include "platform/windows/name_join.h"
#include "platform/windows/procs.h"
#include "platform/windows/scm.h"

win_scm_calls g_win_scm = {OpenSCManagerW, EnumServicesStatusExW};
win_lookup_calls g_win_lookup = {LookupAccountSidW, LookupAccountNameW};

namespace {

// Room for a name and a domain as LookupAccountSidW gives them (256 characters each
// at most) and for the token's user: static, too big for a small stack.
enum { NAME_CHARS = 257 };
wchar_t g_name[NAME_CHARS], g_domain[NAME_CHARS];
wchar_t g_account[2 * NAME_CHARS];

// Account lookups may ask a domain controller, and Windows bounds them by no time: one
// that does not answer would hold every lookup of the answer. Once the run's lookups
// have taken their budget no more are made, and the answers say so ("accounts").
uint64_t g_lookup_spent_ms;
int g_lookups_stopped;

// Before a lookup: 0 when none may be made any more. After it: its time counted.
bool lookup_allowed() { return !g_lookups_stopped; }
void lookup_took(uint64_t since) {
    g_lookup_spent_ms += plat_clock_ms() - since;
    if (g_lookup_spent_ms > WIN_LOOKUP_BUDGET_MS) g_lookups_stopped = 1;
}

// "DOMAIN\name" of a SID (the name alone where the domain is empty); 0 on success.
int sid_account(PSID sid, char *buf, size_t size) {
    DWORD name_len = NAME_CHARS, domain_len = NAME_CHARS;
    SID_NAME_USE use;
    if (!lookup_allowed()) return -1;
    const uint64_t since = plat_clock_ms();
    const BOOL found =
        g_win_lookup.sid(nullptr, sid, g_name, &name_len, g_domain, &domain_len, &use);
    lookup_took(since);
    if (!found || !g_name[0]) return -1;
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

// The name of a well-known account as the system names its SID; 0 on success.
int well_known_account(WELL_KNOWN_SID_TYPE type, char *buf, size_t size) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD n = sizeof sid;
    if (!CreateWellKnownSid(type, nullptr, sid, &n)) return -1;
    return sid_account(sid, buf, size);
}

// One running service: the process it runs in and its key name.
struct service_entry {
    DWORD pid;
    wchar_t *wide; // for OpenServiceW
    char *name;    // UTF-8
};

struct service_list {
    int tried;
    // The manager could not be opened, or the list not read whole.
    int unreadable;
    SC_HANDLE scm;
    service_entry *entries;
    size_t count;
};
service_list g_services;

// One running service in the list; 0 when there is no room for it.
int add_service(service_list &l, size_t *cap, DWORD pid, const wchar_t *name) {
    if (l.count == *cap) {
        const size_t grown = *cap ? *cap * 2 : 256;
        void *p = realloc(l.entries, grown * sizeof *l.entries);
        if (!p) return 0;
        l.entries = static_cast<service_entry *>(p);
        *cap = grown;
    }
    const size_t wlen = wcslen(name);
    service_entry e = {pid, static_cast<wchar_t *>(malloc((wlen + 1) * sizeof(wchar_t))),
                       static_cast<char *>(malloc(wlen * 3 + 1))};
    if (!e.wide || !e.name || win_utf8(name, wlen, e.name, wlen * 3 + 1) != 0) {
        free(e.wide);
        free(e.name);
        return 0;
    }
    memcpy(e.wide, name, (wlen + 1) * sizeof(wchar_t));
    l.entries[l.count++] = e;
    return 1;
}

int by_name(const void *a, const void *b) {
    return name_order(static_cast<const service_entry *>(a)->name,
                      static_cast<const service_entry *>(b)->name);
}

// Every running Win32 service with its process, in name order, once per run. Kept, with the
// manager's handle, until the process ends. A list that could not be had whole is said
// unreadable: an account that may not enumerate services (a network logon, as IIS
// runs a CGI program for an anonymous request) would otherwise see no service anywhere.
const service_list &services_loaded() {
    service_list &l = g_services;
    if (l.tried) return l;
    l.tried = 1;
    l.scm = g_win_scm.open(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (!l.scm) {
        l.unreadable = 1;
        return l;
    }
    // The list comes in pieces, each at most 256 KiB, resumed by a handle.
    DWORD size = 65536, resume = 0;
    BYTE *buf = static_cast<BYTE *>(malloc(size));
    size_t cap = 0;
    bool whole = false;
    for (bool more = buf != nullptr; more;) {
        DWORD needed = 0, returned = 0;
        const BOOL ok =
            g_win_scm.enumerate(l.scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, buf,
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
        DWORD i = 0;
        for (; i < returned; ++i) {
            const DWORD pid = s[i].ServiceStatusProcess.dwProcessId;
            if (pid != 0 && s[i].lpServiceName && !add_service(l, &cap, pid, s[i].lpServiceName))
                break;
        }
        if (i < returned) break;
        whole = !more;
    }
    free(buf);
    l.unreadable = !whole;
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
        config->lpServiceStartName[0])
        rc = win_start_account(config->lpServiceStartName, buf, size);
    free(config);
    CloseServiceHandle(h);
    return rc;
}

// The System process: its id has been 4 since Windows XP.
const uint32_t SYSTEM_PID = 4;

} // namespace

int win_system_account(char *buf, size_t size) {
    return well_known_account(WinLocalSystemSid, buf, size);
}

int win_start_account(const wchar_t *start_name, char *buf, size_t size) {
    // The spellings the service manager takes for the accounts without a password: the
    // token of such a service's process names the SID's own name instead.
    static const struct {
        const wchar_t *start_name;
        WELL_KNOWN_SID_TYPE sid;
    } well_known[] = {
        {L"LocalSystem", WinLocalSystemSid},
        {L".\\LocalSystem", WinLocalSystemSid},
        {L"NT AUTHORITY\\LocalService", WinLocalServiceSid},
        {L"NT AUTHORITY\\NetworkService", WinNetworkServiceSid},
    };
    for (const auto &w : well_known)
        if (_wcsicmp(start_name, w.start_name) == 0) return well_known_account(w.sid, buf, size);
    // Any other account as its SID names it, "." (this computer) included.
    alignas(SID) static BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid, domain_len = NAME_CHARS;
    SID_NAME_USE use;
    const wchar_t *name = start_name;
    if (name[0] == L'.' && name[1] == L'\\') name += 2;
    if (lookup_allowed()) {
        const uint64_t since = plat_clock_ms();
        const BOOL found =
            g_win_lookup.name(nullptr, name, sid, &sid_size, g_domain, &domain_len, &use);
        lookup_took(since);
        if (found && sid_account(sid, buf, size) == 0) return 0;
    }
    return win_utf8(start_name, wcslen(start_name), buf, size);
}

int win_process_created(uint32_t pid, uint64_t *filetime) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!h) return -1;
    FILETIME created, exited, kernel, user;
    const BOOL ok = GetProcessTimes(h, &created, &exited, &kernel, &user);
    CloseHandle(h);
    if (!ok) return -1;
    *filetime = static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
    return 0;
}

int win_debug_privilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return 0;
    TOKEN_PRIVILEGES tp;
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // Succeeds with ERROR_NOT_ALL_ASSIGNED, changing nothing, where the token lacks it.
    const int on = LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &tp.Privileges[0].Luid) &&
                   AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) &&
                   GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return on;
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

void win_services_forget() {
    service_list &l = g_services;
    for (size_t i = 0; i < l.count; ++i) {
        free(l.entries[i].wide);
        free(l.entries[i].name);
    }
    free(l.entries);
    if (l.scm) CloseServiceHandle(l.scm);
    l = service_list();
}

void win_lookups_forget() {
    g_lookup_spent_ms = 0;
    g_lookups_stopped = 0;
}

int plat_facts_unreadable() {
    return (g_services.unreadable ? PLAT_FACT_SERVICES : 0) |
           (g_lookups_stopped ? PLAT_FACT_ACCOUNTS : 0);
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
    if (!out->user[0]) out->unread |= PLAT_PROC_USER;
    win_services_of(pid, out->service, sizeof out->service);
    // Without the whole service list, "" is no answer to which services it runs.
    if (services_loaded().unreadable) out->unread |= PLAT_PROC_SERVICE;
}

// The tables name no account for a socket on Windows.
int plat_account_name(int64_t, char *, size_t) { return -1; }

// No engine publishes ports by address translation on the Windows build's node.
void plat_published_read(plat_published_fn, void *) {}

// No Kubernetes pod runs on the Windows build's node.
int plat_pod_of(const char *, char *, size_t, char *, size_t) { return -1; }

// No container runs on the Windows build's node.
int plat_container_name(uint32_t, const char *, char *, size_t) { return -1; }

// Windows forwards a port with netsh portproxy inside a service, not by a process of its
// own per port: no socket is said to lead elsewhere.
int plat_forward_of(uint32_t, const char *, const char *, int, const unsigned char *, int,
                    plat_forward *) {
    return -1;
}
