// Windows side of the process answer: one process from the process snapshot (its parent,
// which needs no rights), its handle (image path, creation time, command line) and the
// tables. Windows keeps no working folder that another process may read, and an image
// file in use cannot be deleted, so neither is told here.

// Vista is the oldest system the program runs on; set before any header.
#define _WIN32_WINNT 0x0600
#define WIN32_LEAN_AND_MEAN

#include "platform/platform.h"

#include <windows.h>

#include <string.h>

#include "platform/windows/names.h"
#include "platform/windows/procs.h"

namespace {

// FILETIME ticks (100 ns since 1601) at 1970-01-01.
const int64_t UNIX_EPOCH = 116444736000000000LL;

// The process snapshot, taken once per run, at the first question.
const win_names &snapshot() {
    static win_names names;
    static int taken;
    if (!taken) {
        taken = 1;
        win_names_take(&names);
    }
    return names;
}

// NtQueryInformationProcess's class for a process's command line (Windows 8.1 and later;
// earlier systems refuse it), as a UNICODE_STRING followed by its text.
const int COMMAND_LINE_CLASS = 60;
typedef LONG(NTAPI *query_process_fn)(HANDLE, int, void *, ULONG, ULONG *);

struct unicode_text {
    USHORT length; // bytes
    USHORT room;
    wchar_t *text;
};

// Room for the longest text Windows has (32,767 characters), as UTF-16 and as UTF-8:
// static, too big for a stack frame.
enum { TEXT_CHARS = 32768 };
wchar_t g_wide[TEXT_CHARS];
char g_exe[TEXT_CHARS * 3];
alignas(unicode_text) BYTE g_query[sizeof(unicode_text) + TEXT_CHARS * sizeof(wchar_t)];
char g_cmdline[TEXT_CHARS * 3 + 1];

// The command line of an open process, as UTF-8 in g_cmdline; a PLAT_ state.
int command_line(HANDLE process, size_t *len) {
    const query_process_fn query = reinterpret_cast<query_process_fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    ULONG got = 0;
    if (!query || query(process, COMMAND_LINE_CLASS, g_query, sizeof g_query, &got) < 0)
        return PLAT_DENIED;
    const unicode_text *u = reinterpret_cast<const unicode_text *>(g_query);
    const size_t chars = u->length / sizeof(wchar_t);
    if (chars == 0 || !u->text) return PLAT_NONE;
    if (win_utf8(u->text, chars, g_cmdline, sizeof g_cmdline) != 0) return PLAT_DENIED;
    *len = strlen(g_cmdline) + 1;
    return PLAT_READ;
}

} // namespace

uint32_t plat_pid_max() { return 0xffffffffu; }

int64_t plat_time_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>(static_cast<uint64_t>(now.dwHighDateTime) << 32 |
                                now.dwLowDateTime) -
           UNIX_EPOCH;
}

int plat_proc_entry_of(uint32_t pid, plat_proc_entry *out) {
    memset(out, 0, sizeof *out);
    // The snapshot names processes exactly: OpenProcess would take pid + 1 for pid.
    const win_names &names = snapshot();
    // Every system has processes: an empty snapshot is one that could not be taken.
    if (names.count == 0) return PLAT_PROCS_UNREADABLE;
    if (win_names_parent(&names, pid, &out->ppid) != 0) return -1;
    uint64_t created;
    out->started = win_process_created(pid, &created) == 0
                       ? static_cast<int64_t>(created) - UNIX_EPOCH
                       : PLAT_NO_TIME;
    if (win_path_name(pid, out->name, sizeof out->name) != 0 &&
        win_names_find(&names, pid, out->name, sizeof out->name) != 0)
        out->name[0] = '\0';
    return 0;
}

void plat_proc_more_of(uint32_t pid, int want_cmdline, plat_proc_more *out) {
    memset(out, 0, sizeof *out);
    out->exe_deleted = -1;
    out->cwd_state = PLAT_NONE;
    out->cmdline_state = PLAT_NONE;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        // A process that has ended since the snapshot has no facts left.
        const int state = GetLastError() == ERROR_INVALID_PARAMETER ? PLAT_NONE : PLAT_DENIED;
        out->exe_state = state;
        if (want_cmdline) out->cmdline_state = state;
        return;
    }
    DWORD len = TEXT_CHARS;
    // System (pid 4) and the like have no image path.
    if (!QueryFullProcessImageNameW(process, 0, g_wide, &len) || len == 0)
        out->exe_state = PLAT_NONE;
    else if (win_utf8(g_wide, len, g_exe, sizeof g_exe) != 0)
        out->exe_state = PLAT_DENIED;
    else
        out->exe = g_exe;
    if (want_cmdline) {
        out->cmdline_state = command_line(process, &out->cmdline_len);
        if (out->cmdline_state == PLAT_READ) out->cmdline = g_cmdline;
    }
    CloseHandle(process);
}

int plat_tables_read_for(uint32_t pid, const int order[PLAT_LISTS], plat_endpoint_fn fn, void *ctx,
                         int *held_known) {
    // The tables name every socket's owner, whatever the hub's rights.
    struct one_owner {
        uint32_t pid;
        plat_endpoint_fn fn;
        void *ctx;
    } one = {pid, fn, ctx};
    *held_known = 1;
    return plat_tables_read(
        order,
        [](int list, const plat_endpoint *ep, void *c) {
            const one_owner &o = *static_cast<const one_owner *>(c);
            plat_endpoint e = *ep;
            if (e.pid != o.pid) e.pid = 0;
            e.holders = e.pid ? 1 : 0;
            e.listed_name = nullptr;
            o.fn(list, &e, o.ctx);
        },
        &one, PLAT_ADDRESSES);
}
