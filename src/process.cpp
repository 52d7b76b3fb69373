#include "process.h"

#include <cstdio>
#include <cstring>

#include "listeners.h"
#include "output.h"
#include "platform/platform.h"
#include "query.h"

int pid_of_text(const char *text, uint32_t *pid) {
    // One text for each pid: "007" would be a second name of 7.
    if (text[0] < '1' || text[0] > '9') return 0;
    uint64_t v = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0xffffffffu) return 0;
    }
    *pid = static_cast<uint32_t>(v);
    return 1;
}

namespace {

const int64_t UNITS_PER_S = 10000000; // of the platform's times: 100 ns

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

} // namespace

void utc_text(int64_t t, char *buf, size_t size) {
    const int64_t secs = floor_div(t, UNITS_PER_S);
    int64_t days = floor_div(secs, 86400);
    const int64_t in_day = secs - days * 86400;
    // The civil date of a day count, in eras of 400 years that start on 1 March.
    days += 719468;
    const int64_t era = floor_div(days, 146097);
    const int64_t of_era = days - era * 146097;
    const int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    const int64_t of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t m5 = (5 * of_year + 2) / 153;
    const int64_t day = of_year - (153 * m5 + 2) / 5 + 1;
    const int64_t month = m5 < 10 ? m5 + 3 : m5 - 9;
    const int64_t year = year_of_era + era * 400 + (month <= 2);
    snprintf(buf, size, "%04lld-%02d-%02dT%02d:%02d:%02dZ", static_cast<long long>(year),
             static_cast<int>(month), static_cast<int>(day), static_cast<int>(in_day / 3600),
             static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60));
}

namespace {

// What the answer could not read, named in "unreadable" in this order; the socket lists
// that could not be read follow, as the detail answer names them.
enum {
    UNREAD_USER = 1 << 0,
    UNREAD_EXE = 1 << 1,
    UNREAD_CMDLINE = 1 << 2,
    UNREAD_CMDLINE_GATE = 1 << 3, // withheld: no node password guards the answer
    UNREAD_CWD = 1 << 4,
    UNREAD_STARTED = 1 << 5,
    UNREAD_PARENTS = 1 << 6,
    UNREAD_SERVICES = 1 << 7, // the service list, as the detail answer names it
    UNREAD_CONTAINER = 1 << 8,
    UNREAD_SOCKETS = 1 << 9,
    UNREAD_LISTS = 10, // bit of the first list
};
const char *const UNREAD_NAMES[] = {"user",     "exe",       "cmdline", "cmdline:no-password",
                                    "cwd",      "started",   "parents", "services",
                                    "container", "sockets",  "tcp4",    "tcp6",
                                    "udp4",     "udp6"};

void write_unreadable(int bits) {
    out_lit(",\"unreadable\":[");
    bool first = true;
    for (size_t k = 0; k < sizeof UNREAD_NAMES / sizeof *UNREAD_NAMES; ++k) {
        if (!(bits & 1 << k)) continue;
        if (!first) out_lit(",");
        first = false;
        json_str(UNREAD_NAMES[k]);
    }
    out_lit("]}\n");
}

// A fact as the answer writes it: its text, else null, noting why when it was unreadable.
void write_fact(const char *key, size_t key_len, int state, const char *text, int bit,
                int *unread) {
    out_bytes(key, key_len);
    if (state == PLAT_READ && text) {
        json_utf8(text);
        return;
    }
    out_lit("null");
    if (state == PLAT_DENIED) *unread |= bit;
}

template<size_t N>
void write_fact(const char (&key)[N], int state, const char *text, int bit, int *unread) {
    write_fact(key, N - 1, state, text, bit, unread);
}

void write_cmdline(const plat_proc_more &m) {
    out_lit("[");
    for (size_t at = 0; at < m.cmdline_len;) {
        const char *arg = m.cmdline + at;
        if (at) out_lit(",");
        json_utf8(arg);
        at += strlen(arg) + 1;
    }
    out_lit("]");
}

struct parent {
    uint32_t pid;
    char name[sizeof plat_proc_entry::name];
};
parent g_parents[MAX_PARENTS];

// The chain of parents, nearest first, up to one with no parent, one that is gone, or
// one created after its child: that one holds a reused id, so the parent is gone. A
// chain that reaches a process whose start may not be read stops there, unreadable.
int parent_chain(uint32_t pid, const plat_proc_entry &self, int *unread) {
    int n = 0;
    uint32_t ppid = self.ppid;
    int64_t child_started = self.started;
    plat_proc_entry e;
    for (; ppid; ppid = e.ppid) {
        // Reused ids could make a loop of "parents" that started together.
        bool seen = ppid == pid;
        for (int k = 0; k < n; ++k) seen = seen || g_parents[k].pid == ppid;
        if (seen || plat_proc_entry_of(ppid, &e) != 0) break;
        if (n == MAX_PARENTS || e.started == PLAT_NO_TIME || child_started == PLAT_NO_TIME) {
            *unread |= UNREAD_PARENTS;
            break;
        }
        if (e.started > child_started) break;
        g_parents[n].pid = ppid;
        memcpy(g_parents[n].name, e.name, sizeof e.name);
        ++n;
        child_started = e.started;
    }
    return n;
}

void take_held(int list, const plat_endpoint *ep, void *ctx) {
    if (ep->pid && ep->pid == *static_cast<const uint32_t *>(ctx)) add_endpoint(list, ep, 0);
}

// The process's listening TCP and bound UDP sockets, in the listeners answer's order.
void write_sockets(uint32_t pid, int *unread) {
    static const int passes[PLAT_LISTS] = {PLAT_TCP4, PLAT_TCP6, PLAT_UDP4, PLAT_UDP6};
    g_sock_count = 0;
    int held_known = 0;
    const int readable = plat_tables_read_for(pid, passes, take_held, &pid, &held_known);
    out_lit(",\"sockets\":");
    if (!held_known || (readable & ((1 << PLAT_LISTS) - 1)) == 0) {
        out_lit("null");
        *unread |= UNREAD_SOCKETS;
        return;
    }
    for (int list = 0; list < PLAT_LISTS; ++list)
        if (!(readable & 1 << list)) *unread |= 1 << (UNREAD_LISTS + list);
    order_rows();
    out_lit("[");
    for (int i = 0; i < g_sock_count; ++i) {
        if (i) out_lit(",");
        write_endpoint_keys(g_socks[i]);
        out_lit("}");
    }
    out_lit("]");
}

void write_process(uint32_t pid, const plat_proc_entry &self, int gate_on) {
    int unread = 0;
    out_lit("{\"ok\":true,\"action\":\"process\",\"pid\":");
    out_i64(pid);
    plat_proc_more m;
    plat_proc_more_of(pid, gate_on, &m);
    // The image file's base name where its path was read (by whatever means), as the
    // listeners answer names it; else the name the process list gives.
    const char *comm = self.name;
    if (m.exe_state == PLAT_READ && m.exe && *m.exe) {
        const char *base = m.exe;
        for (const char *c = m.exe; *c; ++c)
            if (*c == '/' || *c == '\\') base = c + 1;
        if (*base) comm = base;
    }
    out_lit(",\"comm\":");
    json_utf8(comm);
    static plat_process facts;
    plat_process_facts(pid, &facts);
    write_fact(",\"user\":", facts.user[0] && !(facts.unread & PLAT_PROC_USER) ? PLAT_READ : PLAT_DENIED,
               facts.user, UNREAD_USER, &unread);

    write_fact(",\"exe\":", m.exe_state, m.exe, UNREAD_EXE, &unread);
    out_lit(",\"exe_deleted\":");
    if (m.exe_state == PLAT_READ && m.exe && m.exe_deleted >= 0)
        out_bool(m.exe_deleted);
    else
        out_lit("null");
    out_lit(",\"cmdline\":");
    if (!gate_on) {
        // Command lines carry passwords and tokens often enough: only behind the gate.
        out_lit("null");
        unread |= UNREAD_CMDLINE_GATE;
    } else if (m.cmdline_state == PLAT_READ && m.cmdline_len) {
        write_cmdline(m);
    } else {
        out_lit("null");
        if (m.cmdline_state == PLAT_DENIED) unread |= UNREAD_CMDLINE;
    }
    write_fact(",\"cwd\":", m.cwd_state, m.cwd, UNREAD_CWD, &unread);

    out_lit(",\"started\":");
    if (self.started == PLAT_NO_TIME) {
        out_lit("null,\"age_s\":null");
        unread |= UNREAD_STARTED;
    } else {
        char text[32];
        utc_text(self.started, text, sizeof text);
        json_str(text);
        const int64_t age = plat_time_now() - self.started;
        out_lit(",\"age_s\":");
        out_i64(age > 0 ? age / UNITS_PER_S : 0);
    }

    const int n = parent_chain(pid, self, &unread);
    out_lit(",\"parents\":[");
    for (int k = 0; k < n; ++k) {
        if (k) out_lit(",");
        out_lit("{\"pid\":");
        out_i64(g_parents[k].pid);
        out_lit(",\"comm\":");
        json_utf8(g_parents[k].name);
        out_lit("}");
    }
    out_lit("]");
    // "" is "runs no service" only when the service list (or the cgroup) could be read.
    write_fact(",\"service\":",
               plat_facts_unreadable() & PLAT_FACT_SERVICES || facts.unread & PLAT_PROC_SERVICE
                   ? PLAT_DENIED
                   : PLAT_READ,
               facts.service, UNREAD_SERVICES, &unread);
    write_fact(",\"container\":", facts.unread & PLAT_PROC_CONTAINER ? PLAT_DENIED : PLAT_READ,
               facts.container, UNREAD_CONTAINER, &unread);
    write_sockets(pid, &unread);
    write_unreadable(unread);
}

} // namespace

void process_action(const char *query, int gate_on) {
    char text[16];
    uint32_t pid = 0;
    plat_proc_entry self;
    // Beyond the system's largest pid only when it names a process: the largest may
    // have been lowered after that process was given its id.
    if (get_query_whole(query, "pid", text, sizeof text) != 1 || !pid_of_text(text, &pid) ||
        (pid > plat_pid_max() && plat_proc_entry_of(pid, &self) != 0)) {
        out_lit("{\"ok\":false,\"error\":\"pid must be a process id\"}\n");
        return;
    }
    const int found = plat_proc_entry_of(pid, &self);
    if (found == PLAT_PROCS_UNREADABLE) {
        // Out of descriptors, say: that is no word on whether the process lives.
        out_lit("{\"ok\":false,\"error\":\"cannot read processes\"}\n");
        return;
    }
    if (found != 0) {
        out_lit("{\"ok\":false,\"error\":\"no such process\"}\n");
        return;
    }
    write_process(pid, self, gate_on);
}
