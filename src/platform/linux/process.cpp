// Linux side of the process answer: one process from /proc/PID/{status,stat,exe,cwd,
// cmdline}, and the clocks its start is told by.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <time.h>
#include <unistd.h>

#include "platform/linux/facts.h"
#include "platform/linux/proc_dirs.h"
#include "platform/linux/procs.h"
#include "platform/linux/reader_client.h"

namespace {

const int64_t UNITS_PER_S = 10000000; // of the answer's times: 100 ns

int64_t units(const timespec &t) { return t.tv_sec * UNITS_PER_S + t.tv_nsec / 100; }

// The real-time clock at boot: now, less the time since boot (which counts time spent
// suspended, as start times do). Read once, so that every start time of a run is told
// from the same moment and keeps the order of the kernel's ticks.
int64_t boot_time() {
    static int64_t boot = PLAT_NO_TIME;
    if (boot == PLAT_NO_TIME) {
        timespec real, since;
        clock_gettime(CLOCK_REALTIME, &real);
        clock_gettime(CLOCK_BOOTTIME, &since);
        boot = units(real) - units(since);
    }
    return boot;
}

// A fact that could not be read: none when there is none (a kernel thread has no image
// file) or the process is gone, else the hub's rights.
int state_of(int err) { return err == ENOENT || err == ESRCH ? PLAT_NONE : PLAT_DENIED; }

// The largest command line a process can be given is a quarter of its stack limit;
// past this the answer would be no use to anyone.
const size_t CMDLINE_LIMIT = 16u << 20;

} // namespace

uint32_t plat_pid_max() {
    char text[32];
    // The file holds the value at which pids wrap: one above the largest.
    if (read_small("/proc/sys/kernel/pid_max", text, sizeof text) > 0) {
        char *end;
        const unsigned long v = strtoul(text, &end, 10);
        if (end != text && v > 1 && v - 1 <= 0xffffffffu) return static_cast<uint32_t>(v - 1);
    }
    return 4194303; // the kernel's own limit (PID_MAX_LIMIT, less one)
}

int64_t plat_time_now() {
    timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    return units(real);
}

int plat_proc_entry_of(uint32_t pid, plat_proc_entry *out) {
    memset(out, 0, sizeof *out);
    static char text[4096]; // the lines wanted come first in both files
    char path[48];
    snprintf(path, sizeof path, "/proc/%u/status", static_cast<unsigned>(pid));
    // A thread's id opens its own files too: a process is a thread group's leader.
    uint32_t group;
    if (pid == 0) return -1;
    if (read_small(path, text, sizeof text) <= 0)
        return errno == EMFILE || errno == ENFILE || errno == ENOMEM ? PLAT_PROCS_UNREADABLE : -1;
    if (!lp_status_number(text, "Tgid:", &group) || group != pid) return -1;
    snprintf(path, sizeof path, "/proc/%u/stat", static_cast<unsigned>(pid));
    uint64_t ticks;
    if (read_small(path, text, sizeof text) <= 0 ||
        !lp_stat_fields(text, out->name, sizeof out->name, &out->ppid, &ticks))
        return -1;
    const long hz = sysconf(_SC_CLK_TCK);
    const uint64_t per_s = hz > 0 ? static_cast<uint64_t>(hz) : 0;
    out->started = per_s ? boot_time() + static_cast<int64_t>(ticks / per_s) * UNITS_PER_S +
                               static_cast<int64_t>(ticks % per_s * UNITS_PER_S / per_s)
                         : PLAT_NO_TIME;
    // The image file's name where it may be read, as the listeners answer names it;
    // else the task name above, which any user may read.
    char image[sizeof out->name];
    if (plat_image_name(pid, image, sizeof image) == 0) memcpy(out->name, image, sizeof image);
    return 0;
}

void plat_proc_more_of(uint32_t pid, int want_cmdline, plat_proc_more *out) {
    static char exe[PATH_MAX], cwd[PATH_MAX];
    static char *cmdline;
    free(cmdline);
    cmdline = nullptr;
    memset(out, 0, sizeof *out);

    int deleted = -1;
    const int rc = proc_image_path(pid, exe, sizeof exe, &deleted);
    out->exe_state = rc ? state_of(rc) : PLAT_READ;
    out->exe = rc ? nullptr : exe;
    out->exe_deleted = rc ? -1 : deleted;

    char path[48];
    snprintf(path, sizeof path, "/proc/%u/cwd", static_cast<unsigned>(pid));
    const ssize_t n = readlink(path, cwd, sizeof cwd);
    if (n > 0 && static_cast<size_t>(n) < sizeof cwd) {
        cwd[n] = '\0';
        out->cwd_state = PLAT_READ;
        out->cwd = cwd;
    } else {
        out->cwd_state = n < 0 ? state_of(errno) : PLAT_DENIED;
    }

    // Another account's process: what the reader may read of it, where it may run.
    reader_process_facts f;
    if ((out->exe_state == PLAT_DENIED || out->cwd_state == PLAT_DENIED) && geteuid() != 0 &&
        reader_process(pid, want_cmdline, &f) == 0) {
        if (out->exe_state == PLAT_DENIED && f.exe_state != PLAT_DENIED) {
            out->exe_state = f.exe_state;
            out->exe = f.exe;
            out->exe_deleted = f.exe_deleted;
        }
        if (out->cwd_state == PLAT_DENIED && f.cwd_state != PLAT_DENIED) {
            out->cwd_state = f.cwd_state;
            out->cwd = f.cwd;
        }
    }

    out->cmdline_state = PLAT_NONE;
    if (!want_cmdline) return;
    snprintf(path, sizeof path, "/proc/%u/cmdline", static_cast<unsigned>(pid));
    size_t len;
    const int err = read_whole(path, CMDLINE_LIMIT, &cmdline, &len);
    if (err) {
        out->cmdline_state = state_of(err);
        return;
    }
    // Empty for a kernel thread and a process that has ended.
    if (len == 0) return;
    // A process that wrote over its arguments may have left no NUL at their end; the
    // reader ends the text with one.
    if (cmdline[len - 1] != '\0') ++len;
    out->cmdline_state = PLAT_READ;
    out->cmdline = cmdline;
    out->cmdline_len = len;
}
