#include "probe.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "output.h"
#include "platform/platform.h"
#include "query.h"
#include "target.h"

static const int64_t CONNECT_WAIT_MS = 2000;
static const int64_t REPLY_WAIT_MS = 1500;

int32_t port_from_text(const char *text) {
    int32_t port;
    if (text_to_int32(text, &port) != 0 || port < 1 || port > 65535) return 0;
    return port;
}

// With nothing listening on the port, a connection whose own source port happens to
// be that port meets itself (TCP simultaneous open) and seems established.
static bool connected_to_itself(plat_sock s, const probe_target *t, int32_t port) {
    unsigned char addr[16];
    int ipv6 = 0, local_port = 0;
    return plat_local_endpoint(s, &ipv6, addr, &local_port) == 0 && local_port == port &&
           ipv6 == t->ipv6 && memcmp(addr, t->addr, t->ipv6 ? 16 : 4) == 0;
}

// One non-blocking connection attempt with the 2-second wait, as a probe outcome. On
// PROBE_OPEN *out is the connected socket, which the caller closes; otherwise nothing
// is left open. A wait that runs out (or fails) is no refusal: nothing answered (a SYN
// dropped, a full accept queue), and both systems report a refusal within the wait
// (Windows in the wait's exception set).
static int target_connect(const probe_target *t, int32_t port, plat_sock *out) {
    const plat_sock s = plat_tcp_socket_of(t->ipv6);
    if (s == PLAT_NO_SOCK) return PROBE_ERROR;
    plat_set_nonblocking(s);
    int how = plat_connect_to(s, t->ipv6, t->addr, port, t->scope_id);
    if (how == PLAT_IN_PROGRESS)
        how = plat_wait(s, 1, CONNECT_WAIT_MS) > 0 ? plat_connect_result(s) : PLAT_FAILED;
    if (how == PLAT_CONNECTED && connected_to_itself(s, t, port)) how = PLAT_REFUSED;
    if (how == PLAT_CONNECTED) {
        *out = s;
        return PROBE_OPEN;
    }
    plat_close(s);
    return how == PLAT_REFUSED ? PROBE_REFUSED : PROBE_ERROR;
}

// Connect probe: the connection is closed at once, nothing is sent or read.
static int connect_probe(const probe_target *t, int32_t port, probe_result *r) {
    const int64_t start = now_ms();
    plat_sock s = PLAT_NO_SOCK;
    const int outcome = target_connect(t, port, &s);
    if (outcome == PROBE_OPEN) plat_close(s);
    r->connect_ms = static_cast<int32_t>(now_ms() - start);
    r->open = outcome == PROBE_OPEN;
    r->refused = outcome == PROBE_REFUSED;
    return outcome;
}

int run_probe(const probe_target *t, int32_t port, probe_result *r) {
    *r = {.open = 0,
          .refused = 0,
          .connect_ms = -1,
          .http_tried = 0,
          .http_ok = 0,
          .http_status = 0,
          .http_ms = -1};
    const int outcome = connect_probe(t, port, r);
    if (outcome == PROBE_OPEN) {
        r->http_tried = 1;
        const int64_t t0 = now_ms();
        r->http_ok = probe_http(t, port, &r->http_status) == 0;
        r->http_ms = static_cast<int32_t>(now_ms() - t0);
    }
    return outcome;
}

// Reads until the status line is complete, the buffer is full, the peer closes or the
// reply deadline passes; reply always ends up a NUL-terminated text.
static void read_status_line(plat_sock s, char *reply, size_t size) {
    const int64_t deadline = now_ms() + REPLY_WAIT_MS;
    size_t fill = 0;
    reply[0] = '\0';
    for (;;) {
        const int64_t remaining = deadline - now_ms();
        if (remaining <= 0) break;
        if (plat_wait(s, 0, remaining) <= 0) break;
        const long got = plat_recv(s, reply + fill, size - 1 - fill);
        if (got <= 0) break;
        fill += static_cast<size_t>(got);
        reply[fill] = '\0';
        if (fill >= size - 1 || strstr(reply, "\r\n")) break;
    }
}

int http_status_of(const char *reply, int32_t *status) {
    *status = 0;
    if (strncmp(reply, "HTTP/", 5) != 0) return -1;
    const char *blank = strchr(reply, ' ');
    if (blank) text_to_int32(blank + 1, status);
    return *status > 0 ? 0 : -1;
}

int probe_http(const probe_target *t, int32_t port, int32_t *status) {
    plat_sock s = PLAT_NO_SOCK;
    if (target_connect(t, port, &s) != PROBE_OPEN) return -1;
    char request[192];
    // An IPv6 address goes into the Host header in brackets, as in a URL.
    const int len = snprintf(request, sizeof request,
                             "HEAD / HTTP/1.0\r\nHost: %s%s%s:%d\r\nUser-Agent: %s/%s\r\n"
                             "Connection: close\r\n\r\n",
                             t->ipv6 ? "[" : "", t->text, t->ipv6 ? "]" : "",
                             static_cast<int>(port), "plugin_ports", "1.0.0");
    // One send; a short one still counts, the reply tells whether it was enough.
    if (plat_send(s, request, static_cast<size_t>(len)) <= 0) {
        plat_close(s);
        return -1;
    }
    char reply[512];
    read_status_line(s, reply, sizeof reply);
    plat_close(s);
    return http_status_of(reply, status);
}

// "2026-12-08T02:38:00Z"; the Unix epoch when the calendar time cannot be read, so the
// stamp is always a well-formed time.
static void utc_stamp(char *buf, size_t size) {
    struct tm t;
    if (plat_utc_now(&t) != 0) {
        memset(&t, 0, sizeof t);
        t.tm_year = 70;
        t.tm_mday = 1;
    }
    if (strftime(buf, size, "%Y-%m-%dT%H:%M:%SZ", &t) == 0) buf[0] = '\0';
}

void write_probe_body(const probe_target *t, int32_t port, const probe_result *r,
                      const char *checked_at) {
    out_lit("{\"ok\":true,\"action\":\"probe\",\"target\":");
    json_str(t->text);
    out_lit(",\"port\":");
    out_int(port);
    out_lit(",\"open\":");
    out_bool(r->open);
    out_lit(",\"refused\":");
    out_bool(r->refused);
    out_lit(",\"connect_ms\":");
    out_ms(r->connect_ms);
    out_lit(",\"http_tried\":");
    out_bool(r->http_tried);
    if (r->http_tried) {
        out_lit(",\"http_ok\":");
        out_bool(r->http_ok);
        out_lit(",\"http_status\":");
        out_int(r->http_status);
        out_lit(",\"http_ms\":");
        out_ms(r->http_ms);
    }
    out_lit(",\"checked_at\":");
    json_str(checked_at);
    out_lit("}\n");
}

int32_t port_param(const char *query) {
    char text[16];
    // Whole or not at all: a cut text would be another number (000000000000008080 read
    // as 8). One that does not fit is left empty, which is no port.
    get_query_whole(query, "port", text, sizeof text);
    const int32_t port = port_from_text(text);
    if (!port) out_lit("{\"ok\":false,\"error\":\"port must be 1..65535\"}\n");
    return port;
}

void probe_action(const char *query) {
    const int32_t port = port_param(query);
    if (!port) return;
    // The port's error comes first; then the address, which must be one of this
    // host's own: loopback, or where a TCP listener is bound.
    probe_target target;
    if (target_from_query(query, &target) != 0) {
        out_lit("{\"ok\":false,\"error\":\"address is not a local listener\"}\n");
        return;
    }
    probe_result r;
    run_probe(&target, port, &r);
    char checked_at[40];
    utc_stamp(checked_at, sizeof checked_at);
    write_probe_body(&target, port, &r, checked_at);
}
