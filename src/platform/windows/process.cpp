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

#include "platform/windows/name_join.h"
#include "platform/windows/names.h"
#include "platform/windows/procs.h"

namespace {

// FILETIME ticks (100 ns since 1601) at 1970-01-01.
const int64_t UNIX_EPOCH = 116444736000000000LL;

// When the snapshot was taken (FILETIME ticks): every process it holds was created
// before then.
uint64_t g_snapshot_at;

// The process snapshot, taken once per run, at the first question. An elevated hub's
// token holds the debugging privilege, disabled: enabled first, every process opens for
// this answer as for the detail answer.
const win_names &snapshot() {
    static win_names names;
    static int taken;
    if (!taken) {
        taken = 1;
        win_debug_privilege();
        win_names_take(&names);
        g_snapshot_at = win_now();
    }
    return names;
}

// The System process: it has no image file.
const uint32_t SYSTEM_PID = 4;

// The asked process as plat_proc_entry_of found it: its creation time, 0 when unknown.
uint32_t g_asked_pid;
uint64_t g_asked_created;

// 1 when the open handle is of another process than the one plat_proc_entry_of found
// for pid: that one has ended and its id was given anew in between.
int handle_reused(HANDLE process, uint32_t pid) {
    if (pid != g_asked_pid || !g_asked_created) return 0;
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime) !=
           g_asked_created;
}

// NtQueryInformationProcess's class for a process's command line (Windows 8.1 and later;
// earlier systems refuse it), as a UNICODE_STRING followed by its text. Microsoft
// documents neither the class nor its layout, so what it gives is checked before use.
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
    // The class is not documented: its text is taken only where it lies whole within
    // what the call said it wrote into the buffer, and else said unreadable.
    const BYTE *text = reinterpret_cast<const BYTE *>(u->text);
    const BYTE *written = g_query + (got < sizeof g_query ? got : sizeof g_query);
    if (got < sizeof(unicode_text) || u->length % sizeof(wchar_t) != 0 ||
        text < g_query + sizeof(unicode_text) || text > written ||
        static_cast<size_t>(written - text) < u->length)
        return PLAT_DENIED;
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
    uint64_t created = 0;
    const int created_known = win_process_created(pid, &created) == 0;
    // Created after the snapshot: the process it holds has ended, and its id names
    // another now, which the snapshot's parent and name are not of.
    if (created_known && created > g_snapshot_at) return -1;
    out->started = created_known ? static_cast<int64_t>(created) - UNIX_EPOCH : PLAT_NO_TIME;
    // The first question is of the asked process; the later ones of its parents.
    if (!g_asked_pid) {
        g_asked_pid = pid;
        g_asked_created = created_known ? created : 0;
    }
    // Names of any length, cut between characters to the room.
    static char name[32768 * 3];
    if (win_path_name(pid, name, sizeof name) == 0 ||
        win_names_find(&names, pid, name, sizeof name) == 0)
        cut_name(name, out->name, sizeof out->name);
    return 0;
}

void plat_proc_more_of(uint32_t pid, int want_cmdline, plat_proc_more *out) {
    memset(out, 0, sizeof *out);
    out->exe_deleted = -1;
    out->cwd_state = PLAT_NONE;
    out->cmdline_state = PLAT_NONE;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    // A process that has ended since the snapshot has no facts left, and one that took
    // its id since has none of its.
    if (process && handle_reused(process, pid)) {
        CloseHandle(process);
        process = nullptr;
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    if (!process) {
        const int state = GetLastError() == ERROR_INVALID_PARAMETER ? PLAT_NONE : PLAT_DENIED;
        // System has no image file, whether or not the hub may open it.
        out->exe_state = pid == SYSTEM_PID ? PLAT_NONE : state;
        if (want_cmdline) out->cmdline_state = state;
        return;
    }
    DWORD len = TEXT_CHARS;
    // System (pid 4) and the like have no image path.
    if (pid == SYSTEM_PID || !QueryFullProcessImageNameW(process, 0, g_wide, &len) || len == 0)
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
