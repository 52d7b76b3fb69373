#include "target.h"

#include <cstring>

#include "listeners.h"
#include "platform/platform.h"
#include "query.h"

static const unsigned char k_mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

void loopback_target(probe_target *t) {
    memset(t, 0, sizeof *t);
    t->addr[0] = 127;
    t->addr[3] = 1;
    strcpy(t->text, "127.0.0.1");
}

int target_from_text(const char *text, probe_target *t) {
    memset(t, 0, sizeof *t);
    // A zone names an interface of the caller's choosing; the tables hold none.
    if (strchr(text, '%') || plat_addr_parse(text, &t->ipv6, t->addr) != 0) return -1;
    addr_unmap(&t->ipv6, t->addr);
    static const unsigned char zero[16] = {};
    if (memcmp(t->addr, zero, t->ipv6 ? 16 : 4) == 0) return -1;
    if (plat_addr_text(t->ipv6, t->addr, t->text, sizeof t->text) != 0 || !t->text[0]) return -1;
    return 0;
}

bool target_is_loopback(const probe_target *t) {
    static const unsigned char v6_loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return t->ipv6 ? memcmp(t->addr, v6_loopback, 16) == 0 : t->addr[0] == 127;
}

// fe80::/10: an address that names a host only together with an interface.
static bool link_local(const probe_target *t) {
    return t->ipv6 && t->addr[0] == 0xfe && (t->addr[1] & 0xc0) == 0x80;
}

struct listener_search {
    probe_target *t;
    bool found;
};

static void match_listener(int list, const plat_endpoint *ep, void *ctx) {
    listener_search &s = *static_cast<listener_search *>(ctx);
    if (ep->state != PLAT_TCP_LISTEN) return;
    probe_target &t = *s.t;
    bool match;
    if (list == PLAT_TCP4)
        match = !t.ipv6 && memcmp(ep->addr, t.addr, 4) == 0;
    else if (t.ipv6)
        match = memcmp(ep->addr, t.addr, 16) == 0;
    else
        match = memcmp(ep->addr, k_mapped_prefix, 12) == 0 && memcmp(ep->addr + 12, t.addr, 4) == 0;
    if (!match) return;
    // The first listener with a known zone gives it.
    if (link_local(&t) && !t.scope_id) t.scope_id = ep->scope_id;
    s.found = true;
}

bool target_is_listened_on(probe_target *t) {
    static const int tcp_lists[PLAT_LISTS] = {PLAT_TCP4, PLAT_TCP6, -1, -1};
    listener_search s = {t, false};
    t->scope_id = 0;
    plat_tables_read(tcp_lists, match_listener, &s, PLAT_ADDRESSES);
    return s.found;
}

bool target_is_own(const probe_target *t) {
    return target_is_loopback(t) || plat_addr_is_local(t->ipv6, t->addr);
}

int target_from_query(const char *query, probe_target *t) {
    char text[ADDR_PARAM_SIZE];
    const int got = get_query_whole(query, "addr", text, sizeof text);
    // An empty addr names nothing, like a missing one.
    if (got == 0 || (got == 1 && !text[0])) {
        loopback_target(t);
        return 0;
    }
    if (got < 0 || target_from_text(text, t) != 0) return -1;
    if (target_is_loopback(t)) return 0;
    return target_is_own(t) && target_is_listened_on(t) ? 0 : -1;
}

bool target_row_probe(const char *proto, const char *bind_addr) {
    if (strcmp(proto, "tcp") != 0) return false;
    const char *at = bind_addr;
    if (strcmp(at, "0.0.0.0") == 0) at = "127.0.0.1";
    if (strcmp(at, "::") == 0) at = "::1";
    probe_target t;
    return target_from_text(at, &t) == 0 && target_is_own(&t);
}
