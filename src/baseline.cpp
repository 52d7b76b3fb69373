#include "baseline.h"

#include <cstring>

#include "detail.h"
#include "listeners.h"
#include "output.h"
#include "platform/platform.h"
#include "policy.h"
#include "row_groups.h"

namespace {

bool judged(int row) { return row_judged(g_socks[row]); }

// A rule's key: what its line holds.
uint64_t rule_hash(int i) {
    const sock_row &r = g_socks[i];
    uint64_t h = hash_text(hash_text(ROW_HASH_START, r.proto), r.bind_addr);
    h = hash_text(hash_int(h, r.port), r.comm);
    return hash_text(h, detail_text(i).service);
}

bool same_rule(int a, int b) {
    const sock_row &x = g_socks[a], &y = g_socks[b];
    return x.port == y.port && strcmp(x.proto, y.proto) == 0 &&
           strcmp(x.bind_addr, y.bind_addr) == 0 && strcmp(x.comm, y.comm) == 0 &&
           strcmp(detail_text(a).service, detail_text(b).service) == 0;
}

int16_t g_head[MAX_ROWS];

// " key=value", the value quoted where it must be; nothing for an empty value.
void write_key(const char *key, const char *value) {
    // Room for the longest text a row holds (a service), quoted.
    static char quoted[4 * sizeof(row_text::service) + 3];
    if (!value[0] || !policy_quote(value, quoted, sizeof quoted)) return;
    out_lit(" ");
    out_text(key);
    out_lit("=");
    out_text(quoted);
}

} // namespace

int mode_baseline() {
    const int lists = (1 << PLAT_LISTS) - 1;
    const int readable = plat_net_start() == 0 ? detail_read(false) & lists : 0;
    // A file written from nothing would make every socket unexpected: say why it is empty.
    if (!readable) {
        out_lit("# socket tables unreadable\n");
        return 0;
    }
    if (readable != lists) {
        static const char *const names[PLAT_LISTS] = {"tcp4", "tcp6", "udp4", "udp6"};
        out_lit("# lists that could not be read:");
        for (int list = 0; list < PLAT_LISTS; ++list) {
            if (readable & 1 << list) continue;
            out_lit(" ");
            out_text(names[list]);
        }
        out_lit("\n");
    }
    // Rules written without what could not be read would each expect less than is there.
    if (plat_facts_unreadable() & PLAT_FACT_OWNERS)
        out_lit("# owners that could not all be read: some rules below name no process\n");
    if (detail_truncated()) out_lit("# more sockets than the table holds: some have no rule below\n");
    group_rows(g_sock_count, judged, rule_hash, same_rule, g_head);
    for (int i = 0; i < g_sock_count; ++i) {
        if (g_head[i] != i) continue;
        const sock_row &r = g_socks[i];
        if (strcmp(r.bind_addr, "unknown") == 0) {
            // An address that could not be written cannot be a rule either.
            out_lit("# ");
            out_text(r.proto);
            out_lit(" port ");
            out_int(r.port);
            out_lit(": address unknown\n");
            continue;
        }
        out_text(r.proto);
        out_lit(" ");
        out_text(r.bind_addr);
        out_lit(" ");
        out_int(r.port);
        write_key("comm", r.comm);
        write_key("service", detail_text(i).service);
        out_lit("\n");
    }
    return 0;
}
