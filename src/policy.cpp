#include "policy.h"

#include <cstdlib>
#include <cstring>

#include "detail.h"
#include "output.h"
#include "platform/platform.h"

policy_state g_policy;

namespace {

// The file's bytes, with room for the byte that tells a file too large and for the
// terminator of the last value.
char g_text[POLICY_MAX_BYTES + 2];

// The rules by protocol and port (then line), so that each row meets only the rules
// of its own protocol and port.
uint16_t g_order[POLICY_MAX_RULES];

// Each row's judgement: -1 none, 0 unexpected, 1 expected, ROW_UNJUDGED not judged.
enum { ROW_UNJUDGED = 2 };
int8_t g_expected[MAX_ROWS];

int g_readable;

const char *const k_key_names[RULE_KEYS] = {"comm", "service", "user", "container"};

void add_error(int32_t line, const char *error) {
    if (g_policy.error_count <= POLICY_MAX_ERRORS) {
        g_policy.errors[g_policy.error_count].line = line;
        g_policy.errors[g_policy.error_count].error = error;
    }
    ++g_policy.error_count;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The part of a line still to read: up to end, which is the line's end.
struct line_cursor {
    char *p;
    char *end;
};

// The next token of the line, decoded in place and NUL-terminated at *out: 1 for a
// token, 0 when the line has none left (its end, or a '#' outside quotes), -1 with
// *why for a malformed one. A token ends at a blank; a value that starts with '"'
// right after its key's '=' runs to the closing quote, with \\, \" and \xHH escapes.
int next_token(line_cursor *c, char **out, const char **why) {
    char *p = c->p;
    while (p < c->end && blank(*p)) ++p;
    if (p == c->end || *p == '#') {
        c->p = c->end;
        return 0;
    }
    char *const start = p;
    char *w = p;
    const char *eq = nullptr;
    while (p < c->end && !blank(*p) && *p != '#') {
        if (*p != '"') {
            // Nothing is decoded before a quote, so w is still p here.
            if (*p == '=' && !eq) eq = p;
            *w++ = *p++;
            continue;
        }
        if (!eq || p != eq + 1) {
            *why = "quote inside a value";
            return -1;
        }
        ++p;
        for (;;) {
            if (p == c->end) {
                *why = "unterminated quote";
                return -1;
            }
            char ch = *p++;
            if (ch == '"') break;
            if (ch == '\\') {
                const char e = p < c->end ? *p++ : '\0';
                const int hi = c->end - p >= 2 ? hex_digit(p[0]) : -1;
                const int lo = c->end - p >= 2 ? hex_digit(p[1]) : -1;
                if (e == '\\' || e == '"') {
                    ch = e;
                } else if (e == 'x' && hi >= 0 && lo >= 0 && (hi || lo)) {
                    ch = static_cast<char>(hi * 16 + lo);
                    p += 2;
                } else {
                    *why = "bad escape";
                    return -1;
                }
            }
            *w++ = ch;
        }
        if (p < c->end && !blank(*p) && *p != '#') {
            *why = "text after a quoted value";
            return -1;
        }
        break;
    }
    // The terminator may land on the delimiter: note first whether a comment starts there.
    const bool line_done = p == c->end || *p == '#';
    *w = '\0';
    c->p = line_done ? c->end : p + 1;
    *out = start;
    return 1;
}

// A port: 1 to 65535 in decimal digits, nothing else.
int32_t port_of(const char *t) {
    int32_t v = 0;
    size_t n = 0;
    for (; t[n]; ++n) {
        if (t[n] < '0' || t[n] > '9' || n >= 5) return 0;
        v = v * 10 + (t[n] - '0');
    }
    return v <= 65535 ? v : 0;
}

// One line (up to end, its '\n' or the text's end): a rule, a comment, blank, or an
// error.
void parse_line(char *p, char *end, int32_t line) {
    line_cursor c = {p, end};
    char *tok[3];
    const char *why = "incomplete rule";
    int got = 0;
    int r = 1;
    while (got < 3 && (r = next_token(&c, &tok[got], &why)) == 1) ++got;
    if (got == 0 && r == 0) return; // blank or a comment
    if (got < 3) {
        add_error(line, why);
        return;
    }
    policy_rule rule;
    memset(&rule, 0, sizeof rule);
    rule.line = line;
    if (strcmp(tok[0], "tcp") != 0 && strcmp(tok[0], "udp") != 0) {
        add_error(line, "unknown protocol");
        return;
    }
    rule.udp = tok[0][0] == 'u';
    int ipv6 = 0;
    if (strcmp(tok[1], "*") == 0) {
        rule.any = 1;
    } else if (strchr(tok[1], '%') || plat_addr_parse(tok[1], &ipv6, rule.addr) != 0) {
        // A zone names an interface, which the tables do not give.
        add_error(line, "bad address");
        return;
    }
    rule.ipv6 = ipv6;
    addr_unmap(&rule.ipv6, rule.addr);
    rule.port = port_of(tok[2]);
    if (!rule.port) {
        add_error(line, "bad port");
        return;
    }
    char *kv;
    while ((r = next_token(&c, &kv, &why)) == 1) {
        char *eq = strchr(kv, '=');
        if (!eq) {
            add_error(line, "not KEY=VALUE");
            return;
        }
        *eq = '\0';
        int k = 0;
        while (k < RULE_KEYS && strcmp(kv, k_key_names[k]) != 0) ++k;
        if (k == RULE_KEYS) {
            add_error(line, strcmp(kv, "pid") == 0 ? "a rule names no pid" : "unknown key");
            return;
        }
        if (rule.key[k]) {
            add_error(line, "key given twice");
            return;
        }
        rule.key[k] = eq + 1;
    }
    if (r < 0) {
        add_error(line, why);
        return;
    }
    if (g_policy.count == POLICY_MAX_RULES) {
        add_error(line, "too many rules");
        return;
    }
    g_policy.rules[g_policy.count++] = rule;
}

int by_key(const void *a, const void *b) {
    const policy_rule &x = g_policy.rules[*static_cast<const uint16_t *>(a)];
    const policy_rule &y = g_policy.rules[*static_cast<const uint16_t *>(b)];
    if (x.udp != y.udp) return x.udp - y.udp;
    if (x.port != y.port) return x.port - y.port;
    return x.line - y.line;
}

void set_path(const char *path) { utf8_copy(g_policy.path, sizeof g_policy.path, path); }

// The file as a whole cannot be used.
void unusable(const char *error) {
    g_policy.status = POLICY_UNUSABLE;
    g_policy.count = 0;
    add_error(0, error);
}

} // namespace

void policy_parse(char *text, size_t len) {
    g_policy.status = POLICY_IN_FORCE;
    g_policy.count = 0;
    g_policy.error_count = 0;
    if (memchr(text, '\0', len)) {
        unusable("not a text file");
        return;
    }
    text[len] = '\0';
    char *p = text, *const end = text + len;
    if (len >= 3 && memcmp(p, "\xef\xbb\xbf", 3) == 0) p += 3; // a byte order mark
    for (int32_t line = 1; p < end; ++line) {
        char *nl = static_cast<char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        char *stop = nl ? nl : end;
        if (stop > p && stop[-1] == '\r') --stop;
        parse_line(p, stop, line);
        p = nl ? nl + 1 : end;
    }
    for (int i = 0; i < g_policy.count; ++i) g_order[i] = static_cast<uint16_t>(i);
    qsort(g_order, static_cast<size_t>(g_policy.count), sizeof *g_order, by_key);
}

void policy_load() {
    g_policy.status = POLICY_NONE;
    g_policy.count = 0;
    g_policy.error_count = 0;
    g_policy.path[0] = '\0';
    const char *named = plat_env("PORTS_EXPECT");
    // "none" asks for no policy whatever the fixed place holds: a test, or a hub that
    // judges nothing, is then not at the mercy of the node's own file.
    if (named && strcmp(named, "none") == 0) return;
    static char fixed[sizeof g_policy.path];
    const char *path = named && *named ? named : nullptr;
    if (!path) {
        if (plat_policy_path(fixed, sizeof fixed) != 0) return;
        path = fixed;
    }
    set_path(path);
    if (strlen(path) >= sizeof g_policy.path) {
        unusable("path too long");
        return;
    }
    size_t got = 0;
    const int read = plat_read_file(path, g_text, POLICY_MAX_BYTES + 1, &got);
    if (read == PLAT_FILE_MISSING && path == fixed) {
        g_policy.path[0] = '\0';
        return; // nothing at the fixed place: no policy
    }
    if (read == PLAT_FILE_MISSING)
        unusable("file not found");
    else if (read == PLAT_FILE_NOT_REGULAR)
        unusable("not a regular file");
    else if (read != PLAT_FILE_READ)
        unusable("file cannot be read");
    else if (got > POLICY_MAX_BYTES)
        unusable("file too large");
    else
        policy_parse(g_text, got);
}

bool row_judged(const sock_row &r) { return r.netns == 0; }

namespace {

static_assert(ROW_UNREAD_COMM == 1 << KEY_COMM && ROW_UNREAD_SERVICE == 1 << KEY_SERVICE &&
                  ROW_UNREAD_USER == 1 << KEY_USER && ROW_UNREAD_CONTAINER == 1 << KEY_CONTAINER,
              "a rule's keys and a row's unread facts share their bits");

// Whether a rule matches a row: MATCH_NO, MATCH_YES, or MATCH_MAYBE when every key
// given on a fact that was read matches and some key is given on one that was not.
enum { MATCH_NO = 0, MATCH_YES = 1, MATCH_MAYBE = 2 };

int rule_matches(const policy_rule &rule, const sock_row &r, const row_text &t) {
    if (!rule.any) {
        int32_t ipv6 = r.ipv6;
        unsigned char addr[16];
        memcpy(addr, r.addr, sizeof addr);
        addr_unmap(&ipv6, addr);
        if (ipv6 != rule.ipv6 || memcmp(addr, rule.addr, ipv6 ? 16 : 4) != 0) return MATCH_NO;
    }
    const char *field[RULE_KEYS] = {r.comm, t.service, t.user, t.container};
    int result = MATCH_YES;
    for (int k = 0; k < RULE_KEYS; ++k) {
        if (!rule.key[k]) continue;
        if (r.unread & 1 << k)
            result = MATCH_MAYBE;
        else if (strcmp(rule.key[k], field[k]) != 0)
            return MATCH_NO;
    }
    return result;
}

// The first rule (in g_order) of a protocol and port, or g_policy.count.
int first_rule(int32_t udp, int32_t port) {
    int lo = 0, hi = g_policy.count;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        const policy_rule &m = g_policy.rules[g_order[mid]];
        if (m.udp < udp || (m.udp == udp && m.port < port))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

} // namespace

void policy_judge(int readable) {
    g_readable = readable;
    for (int k = 0; k < g_policy.count; ++k) g_policy.rules[k].matched = g_policy.rules[k].maybe = 0;
    for (int i = 0; i < g_sock_count; ++i) {
        const sock_row &r = g_socks[i];
        g_expected[i] = -1;
        if (g_policy.status != POLICY_IN_FORCE || !row_judged(r)) continue;
        const int32_t udp = strcmp(r.proto, "udp") == 0;
        const row_text &t = detail_text(i);
        int8_t expected = 0;
        // Every rule on the row's protocol and port is tried, not just up to the first
        // that matches: each rule needs to know whether some row matched it.
        for (int at = first_rule(udp, r.port); at < g_policy.count; ++at) {
            policy_rule &rule = g_policy.rules[g_order[at]];
            if (rule.udp != udp || rule.port != r.port) break;
            const int m = rule_matches(rule, r, t);
            if (m == MATCH_YES) {
                rule.matched = 1;
                expected = 1;
            } else if (m == MATCH_MAYBE) {
                rule.maybe = 1;
                if (!expected) expected = ROW_UNJUDGED;
            }
        }
        g_expected[i] = expected;
    }
}

int policy_judge_more(const sock_row &r, const row_text &t) {
    if (g_policy.status != POLICY_IN_FORCE) return -1;
    const int32_t udp = strcmp(r.proto, "udp") == 0;
    int expected = 0;
    for (int at = first_rule(udp, r.port); at < g_policy.count; ++at) {
        policy_rule &rule = g_policy.rules[g_order[at]];
        if (rule.udp != udp || rule.port != r.port) break;
        if (rule_matches(rule, r, t)) {
            rule.matched = 1;
            expected = 1;
        }
    }
    return expected;
}

int policy_expected(int row) { return g_expected[row] == ROW_UNJUDGED ? -1 : g_expected[row]; }

bool policy_unjudged_row(int row) { return g_expected[row] == ROW_UNJUDGED; }

int policy_rule_state(const policy_rule &rule) {
    if (rule.matched) return RULE_MATCHED;
    // A list cut for want of room is not among the readable ones (detail_judgeable).
    if (rule.maybe) return RULE_UNJUDGED;
    // An IPv4 address also names IPv6 sockets on its mapped form.
    const int v4 = rule.udp ? PLAT_UDP4 : PLAT_TCP4, v6 = rule.udp ? PLAT_UDP6 : PLAT_TCP6;
    const int lists = (rule.any || !rule.ipv6 ? 1 << v4 : 0) | 1 << v6;
    return (g_readable & lists) == lists ? RULE_MISSING : RULE_UNJUDGED;
}

bool policy_missing(const policy_rule &rule) { return policy_rule_state(rule) == RULE_MISSING; }

void policy_addr_text(const policy_rule &rule, char *buf, size_t size) {
    if (rule.any || plat_addr_text(rule.ipv6, rule.addr, buf, size) != 0) {
        utf8_copy(buf, size, rule.any ? "*" : "unknown");
    }
}

namespace {

// The rules in one state, in file order, as [{"proto","bind_addr","port","line"}...].
void write_rules(int state) {
    out_lit("[");
    bool first = true;
    for (int k = 0; k < g_policy.count; ++k) {
        const policy_rule &rule = g_policy.rules[k];
        if (policy_rule_state(rule) != state) continue;
        if (!first) out_lit(",");
        first = false;
        char addr[64];
        policy_addr_text(rule, addr, sizeof addr);
        out_lit("{\"proto\":");
        json_str(rule.udp ? "udp" : "tcp");
        out_lit(",\"bind_addr\":");
        json_str(addr);
        out_lit(",\"port\":");
        out_int(rule.port);
        out_lit(",\"line\":");
        out_int(rule.line);
        out_lit("}");
    }
    out_lit("]");
}

} // namespace

void policy_write_row(int row) {
    out_lit(",\"expected\":");
    const int e = policy_expected(row);
    if (e < 0)
        out_lit("null");
    else
        out_bool(e);
}

void policy_write_after() {
    out_lit(",\"policy\":");
    if (g_policy.status == POLICY_NONE) {
        out_lit("null,\"missing\":[],\"unjudged\":[]");
        return;
    }
    out_lit("{\"path\":");
    json_str(g_policy.path);
    out_lit(",\"rules\":");
    out_int(g_policy.count);
    out_lit(",\"errors\":[");
    const int32_t listed =
        g_policy.error_count > POLICY_MAX_ERRORS + 1 ? POLICY_MAX_ERRORS + 1 : g_policy.error_count;
    for (int32_t k = 0; k < listed; ++k) {
        if (k) out_lit(",");
        out_lit("{\"line\":");
        out_int(g_policy.errors[k].line);
        out_lit(",\"error\":");
        // Past the listed ones, the first unlisted line stands for them all.
        json_str(k < POLICY_MAX_ERRORS ? g_policy.errors[k].error
                                       : "more errors from this line on");
        out_lit("}");
    }
    out_lit("]},\"missing\":");
    write_rules(RULE_MISSING);
    out_lit(",\"unjudged\":");
    write_rules(RULE_UNJUDGED);
}

size_t policy_quote(const char *value, char *buf, size_t size) {
    bool plain = *value != '\0';
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(value); *p; ++p)
        if (*p <= ' ' || *p == 0x7f || *p == '"' || *p == '#') plain = false;
    static const char hex[] = "0123456789abcdef";
    size_t n = 0;
    const auto put = [&](char c) {
        if (n + 1 < size) buf[n] = c;
        ++n;
    };
    if (!plain) put('"');
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(value); *p; ++p) {
        if (plain) {
            put(static_cast<char>(*p));
        } else if (*p == '\\' || *p == '"') {
            put('\\');
            put(static_cast<char>(*p));
        } else if (*p < ' ' || *p == 0x7f) {
            put('\\');
            put('x');
            put(hex[*p >> 4]);
            put(hex[*p & 15]);
        } else {
            put(static_cast<char>(*p));
        }
    }
    if (!plain) put('"');
    if (n >= size) return 0;
    buf[n] = '\0';
    return n;
}
