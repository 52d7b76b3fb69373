#include "metrics.h"

#include <cstdlib>
#include <cstring>

#include "detail.h"
#include "listeners.h"
#include "output.h"
#include "policy.h"
#include "row_groups.h"

void metric_label_value(const char *text) {
    const char *run = text;
    for (const char *p = text;; ++p) {
        const char c = *p;
        if (c && c != '\\' && c != '"' && c != '\n') continue;
        out_bytes(run, static_cast<size_t>(p - run));
        if (!c) return;
        const char esc[2] = {'\\', c == '\n' ? 'n' : c};
        out_bytes(esc, 2);
        run = p + 1;
    }
}

namespace {

// One family's HELP and TYPE lines; every family here is a gauge.
void family(const char *name, const char *help) {
    out_lit("# HELP ");
    out_text(name);
    out_lit(" ");
    out_text(help);
    out_lit("\n# TYPE ");
    out_text(name);
    out_lit(" gauge\n");
}

// A label, the first of a sample opening its braces.
void label(const char *name, const char *value, bool first = false) {
    out_bytes(first ? "{" : ",", 1);
    out_text(name);
    out_lit("=\"");
    metric_label_value(value);
    out_lit("\"");
}

void number_label(const char *name, int32_t value) {
    out_lit(",");
    out_text(name);
    out_lit("=\"");
    out_int(value);
    out_lit("\"");
}

void value(int32_t v) {
    out_lit("} ");
    out_int(v);
    out_lit("\n");
}

const char *expected_word(int row) {
    const int e = policy_expected(row);
    return e < 0 ? "" : e ? "true" : "false";
}

bool is_tcp(int row) { return strcmp(g_socks[row].proto, "tcp") == 0; }
bool judged(int row) { return row_judged(g_socks[row]); }
bool judged_tcp(int row) { return judged(row) && is_tcp(row); }

// A listener's series: protocol, address and port.
uint64_t socket_hash(int i) {
    const sock_row &r = g_socks[i];
    return hash_int(hash_text(hash_text(ROW_HASH_START, r.proto), r.bind_addr), r.port);
}

bool same_socket(int a, int b) {
    const sock_row &x = g_socks[a], &y = g_socks[b];
    return x.port == y.port && strcmp(x.proto, y.proto) == 0 &&
           strcmp(x.bind_addr, y.bind_addr) == 0;
}

// Its info series: every label.
uint64_t info_hash(int i) {
    const row_text &t = detail_text(i);
    uint64_t h = hash_text(socket_hash(i), g_socks[i].comm);
    h = hash_text(hash_text(hash_text(h, t.service), t.user), t.container);
    return hash_int(h, policy_expected(i));
}

bool same_info(int a, int b) {
    const row_text &x = detail_text(a), &y = detail_text(b);
    return same_socket(a, b) && strcmp(g_socks[a].comm, g_socks[b].comm) == 0 &&
           strcmp(x.service, y.service) == 0 && strcmp(x.user, y.user) == 0 &&
           strcmp(x.container, y.container) == 0 && policy_expected(a) == policy_expected(b);
}

int16_t g_head[MAX_ROWS];
int32_t g_sum[MAX_ROWS];

// Rows that share every label are one series: a SO_REUSEPORT group of one program.
void write_info() {
    family("ports_listener_info",
           "A socket listening in this host's network namespace, with its process and whether a "
           "rule expects it (empty without a policy). Sockets that share every label are one "
           "series.");
    group_rows(g_sock_count, judged, info_hash, same_info, g_head);
    for (int i = 0; i < g_sock_count; ++i) {
        if (g_head[i] != i) continue;
        const sock_row &r = g_socks[i];
        const row_text &t = detail_text(i);
        out_lit("ports_listener_info");
        label("proto", r.proto, true);
        label("bind_addr", r.bind_addr);
        number_label("port", r.port);
        label("scope", scope_word(r.scope));
        label("comm", r.comm);
        label("service", t.service);
        label("user", t.user);
        label("container", t.container);
        label("expected", expected_word(i));
        value(1);
    }
}

// A TCP listener's count, summed over the sockets of one address and port; a sum with
// an unknown part is unknown, and unknown values are left out.
void write_per_listener(const char *name, const char *help, int32_t sock_row::*field) {
    family(name, help);
    for (int i = 0; i < g_sock_count; ++i) {
        const int h = g_head[i];
        if (h < 0) continue;
        const int32_t v = g_socks[i].*field;
        if (h == i)
            g_sum[h] = v;
        else if (g_sum[h] >= 0)
            g_sum[h] = v < 0 ? -1 : g_sum[h] + v;
    }
    for (int i = 0; i < g_sock_count; ++i) {
        if (g_head[i] != i || g_sum[i] < 0) continue;
        out_text(name);
        label("proto", g_socks[i].proto, true);
        label("bind_addr", g_socks[i].bind_addr);
        number_label("port", g_socks[i].port);
        value(g_sum[i]);
    }
}

void write_counts() {
    family("ports_listeners", "Sockets listening in this host's network namespace.");
    int32_t count[2][3] = {};
    for (int i = 0; i < g_sock_count; ++i) {
        if (!judged(i)) continue;
        const int32_t s = g_socks[i].scope;
        ++count[is_tcp(i) ? 0 : 1][s == SCOPE_LOOPBACK || s == SCOPE_WILDCARD ? s : SCOPE_SPECIFIC];
    }
    for (int p = 0; p < 2; ++p) {
        for (int s = 0; s < 3; ++s) {
            out_lit("ports_listeners");
            label("proto", p ? "udp" : "tcp", true);
            label("scope", scope_word(s));
            value(count[p][s]);
        }
    }
}

// Ports published by address translation that no socket holds, by protocol.
void write_published() {
    const published_entry *pubs;
    const size_t n = detail_published(&pubs);
    int32_t count[2] = {};
    for (size_t k = 0; k < n; ++k) ++count[strcmp(pubs[k].p.proto, "udp") == 0];
    family("ports_published",
           "Ports an engine publishes by address translation alone (no socket of this host "
           "holds them).");
    for (int p = 0; p < 2; ++p) {
        out_lit("ports_published");
        label("proto", p ? "udp" : "tcp", true);
        value(count[p]);
    }
}

// The rules in one state, counted per protocol, address and port: a series keeps its
// identity when lines are added above its rules, and rules that differ only in their
// keys share it.
void write_rule_counts(const char *name, const char *help, int state) {
    family(name, help);
    // In protocol and port order: rules of one protocol and port come together.
    static uint16_t order[POLICY_MAX_RULES];
    static char addrs[POLICY_MAX_RULES][64];
    int n = 0;
    for (int k = 0; k < g_policy.count; ++k)
        if (policy_rule_state(g_policy.rules[k]) == state) order[n++] = static_cast<uint16_t>(k);
    qsort(order, static_cast<size_t>(n), sizeof *order, [](const void *a, const void *b) {
        const policy_rule &x = g_policy.rules[*static_cast<const uint16_t *>(a)];
        const policy_rule &y = g_policy.rules[*static_cast<const uint16_t *>(b)];
        if (x.udp != y.udp) return x.udp - y.udp;
        if (x.port != y.port) return x.port - y.port;
        return x.line - y.line;
    });
    for (int i = 0; i < n; ++i) policy_addr_text(g_policy.rules[order[i]], addrs[i], sizeof addrs[i]);
    for (int i = 0; i < n; ++i) {
        const policy_rule &rule = g_policy.rules[order[i]];
        bool seen = false;
        int32_t count = 0;
        for (int j = i; j >= 0 && !seen; --j) {
            const policy_rule &o = g_policy.rules[order[j]];
            if (o.udp != rule.udp || o.port != rule.port) break;
            seen = j < i && strcmp(addrs[j], addrs[i]) == 0;
        }
        if (seen) continue;
        for (int j = i; j < n; ++j) {
            const policy_rule &o = g_policy.rules[order[j]];
            if (o.udp != rule.udp || o.port != rule.port) break;
            count += strcmp(addrs[j], addrs[i]) == 0;
        }
        out_text(name);
        label("proto", rule.udp ? "udp" : "tcp", true);
        label("bind_addr", addrs[i]);
        number_label("port", rule.port);
        value(count);
    }
}

void write_policy() {
    if (g_policy.status == POLICY_NONE) return;
    if (g_policy.status == POLICY_IN_FORCE) {
        write_rule_counts("ports_expected_missing",
                          "Rules of the file of expected listeners that no socket matches, by "
                          "protocol, address and port.",
                          RULE_MISSING);
        write_rule_counts("ports_expected_unjudged",
                          "Rules of the file of expected listeners that could not be judged: no "
                          "socket matches them on the facts read, and the rest were not read.",
                          RULE_UNJUDGED);
        int32_t unexpected = 0;
        for (int i = 0; i < g_sock_count; ++i) unexpected += policy_expected(i) == 0;
        const published_entry *pubs;
        const size_t n_pubs = detail_published(&pubs);
        for (size_t k = 0; k < n_pubs; ++k) unexpected += pubs[k].expected == 0;
        family("ports_unexpected_listeners", "Listening sockets that no rule expects.");
        out_lit("ports_unexpected_listeners ");
        out_int(unexpected);
        out_lit("\n");
    }
    family("ports_policy_rules", "Rules in force in the file of expected listeners.");
    out_lit("ports_policy_rules ");
    out_int(g_policy.count);
    out_lit("\n");
    family("ports_policy_errors",
           "Lines of the file of expected listeners that are no rule, and 1 when the file "
           "cannot be used at all.");
    out_lit("ports_policy_errors ");
    out_int(g_policy.error_count);
    out_lit("\n");
}

// The lists that could not be read and, once rows were read (owners >= 0), whether any
// socket's owner was hidden from the account.
void write_unreadable(int readable, int32_t owners) {
    int32_t unread = 0;
    for (int list = 0; list < PLAT_LISTS; ++list) unread += !(readable & 1 << list);
    family("ports_tables_unreadable",
           "Socket lists that could not be read, of 4; with facts=\"owners\", 1 when some "
           "socket's owner could not be read.");
    out_lit("ports_tables_unreadable ");
    out_int(unread);
    out_lit("\n");
    if (owners < 0) return;
    out_lit("ports_tables_unreadable{facts=\"owners\"} ");
    out_int(owners);
    out_lit("\n");
}

// Sockets of the program's own namespace whose owner was hidden from the account.
void write_hidden() {
    int32_t hidden = 0;
    for (int i = 0; i < g_sock_count; ++i) hidden += judged(i) && g_socks[i].holders < 0;
    family("ports_listeners_owner_hidden",
           "Sockets listening in this host's network namespace whose owner the program's "
           "account could not see.");
    out_lit("ports_listeners_owner_hidden ");
    out_int(hidden);
    out_lit("\n");
}

// Whether a node password guards the program: an alert can tell a gate left open.
void write_gate(int gate_on) {
    family("ports_gate_enabled", "1 when a node password guards this program, else 0.");
    out_lit("ports_gate_enabled ");
    out_int(gate_on ? 1 : 0);
    out_lit("\n");
}

} // namespace

void metrics_action(int gate_on) {
    out_lit(METRICS_CONTENT_TYPE NO_STORE_NOSNIFF "\r\n");
    const int readable = detail_read(false);
    if ((readable & ((1 << PLAT_LISTS) - 1)) == 0) {
        // An empty answer would say that nothing listens.
        write_unreadable(readable, -1);
        write_gate(gate_on);
        return;
    }
    detail_read_published();
    policy_load();
    policy_judge(detail_judgeable(readable));
    detail_judge_published();
    write_info();
    group_rows(g_sock_count, judged_tcp, socket_hash, same_socket, g_head);
    write_per_listener("ports_listener_connections",
                       "Established connections a TCP listener accepted.", &sock_row::conns);
    write_per_listener("ports_listener_queue",
                       "Connections waiting in a TCP listener's accept queue.", &sock_row::queue);
    write_per_listener("ports_listener_backlog", "The limit of a TCP listener's accept queue.",
                       &sock_row::backlog);
    write_counts();
    write_published();
    write_policy();
    write_hidden();
    int32_t owners = (plat_facts_unreadable() & PLAT_FACT_OWNERS) != 0;
    for (int i = 0; i < g_sock_count && !owners; ++i) owners = judged(i) && g_socks[i].holders < 0;
    write_unreadable(readable, owners);
    family("ports_rows_truncated",
           "1 when sockets were left out of the answer for want of room (TCP listeners are kept "
           "first), else 0.");
    out_lit("ports_rows_truncated ");
    out_int(detail_truncated() ? 1 : 0);
    out_lit("\n");
    write_gate(gate_on);
}
