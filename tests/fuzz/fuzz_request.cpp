// The whole request path, environment in and response out, over the fake platform:
// whatever the request and whatever the tables and the probed peer hold, the answer is
// the metadata record, or one JSON object after the JSON header block, or a page.
// Refused requests end the process and are left to the gate's own target.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <string>

#include "../fake_platform.h"
#include "entry.h"
#include "gate.h"
#include "json_check.h"

static char *g_buf;
static size_t g_len;

static const char k_meta[] = "{\"name\":\"ports\",\"desc\":\"Listening TCP\"}\n";
static const char k_json_head[] = "Content-Type: application/json; charset=utf-8\r\n"
                                  "Cache-Control: no-store\r\n"
                                  "X-Content-Type-Options: nosniff\r\n\r\n";
static const char k_html_head[] = "Content-Type: text/html; charset=utf-8\r\n"
                                  "Cache-Control: no-store\r\n"
                                  "X-Content-Type-Options: nosniff\r\n\r\n";

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    stdout = open_memstream(&g_buf, &g_len);
    return 0;
}

enum { F_QUERY, F_METHOD, F_PASSWORD, F_HEADER, F_AUTH, F_META, F_REPLY0, F_REPLY1, F_COUNT };
static const char *const k_env[] = {"QUERY_STRING",        "REQUEST_METHOD",     "BOT_PASSWORD",
                                    "HTTP_X_BOT_PASSWORD", "HTTP_AUTHORIZATION", "ZL_PLUGIN_META"};

static bool starts(const std::string &s, const char *p) { return s.compare(0, strlen(p), p) == 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0], net = data[1];
    std::string field[F_COUNT];
    size_t i = 2;
    for (int k = 0; k < F_COUNT && i < size; ++k, ++i)
        for (; i < size && data[i]; ++i) field[k] += static_cast<char>(data[i]);

    // What remains fills the endpoint lists, one raw endpoint at a time.
    fake_tables_reset();
    // The raw fields only: the listed name is a pointer, one of two texts or none.
    const size_t raw = offsetof(plat_endpoint, pid) + sizeof(uint32_t);
    for (size_t n = 0; i + raw <= size; i += raw, ++n) {
        fake_list &l = g_fake_lists[n % PLAT_LISTS];
        if (l.count >= FAKE_LIST_MAX) continue;
        plat_endpoint &ep = l.eps[l.count++];
        memcpy(&ep, data + i, raw);
        const char *const listed[4] = {nullptr, nullptr, "System", "b\xe4" "d\xff.exe"};
        ep.listed_name = listed[ep.pid >> 30];
    }
    g_fake_lists[PLAT_UDP6].fail = flags & 0x20;
    fake_image(1, "/usr/sbin/sshd");
    fake_image(0x01010101, "C:\\odd\"dir\\na\tme.exe");

    // The probed peer: how the connection goes and what it says.
    fake_net_reset();
    static const int classes[4] = {PLAT_CONNECTED, PLAT_IN_PROGRESS, PLAT_REFUSED, PLAT_FAILED};
    for (int c = 0; c < 2; ++c) {
        fake_conn &fc = g_fake_conns[c];
        fc.no_socket = ((net >> (c * 4)) & 15) == 15;
        fc.connect = classes[(net >> (c * 4)) & 3];
        fc.wait = ((net >> (c * 4 + 2)) & 3) - 1;
        fc.pending = classes[(flags >> 6) & 3];
        fc.reply[0] = field[F_REPLY0 + c].c_str();
        fc.piece_ms = flags & 0x10 ? 700 : 0;
        fc.after = (flags >> 2) & 3;
    }

    for (int k = 0; k < F_REPLY0; ++k) {
        if (field[k].empty() && !(k == F_QUERY && (flags & 2)))
            unsetenv(k_env[k]);
        else
            setenv(k_env[k], field[k].c_str(), 1);
    }
    const bool meta = (flags & 1) || !field[F_META].empty();
    if (!meta && !field[F_PASSWORD].empty() &&
        !gate_check(field[F_PASSWORD].c_str(), getenv("HTTP_X_BOT_PASSWORD"),
                    getenv("HTTP_AUTHORIZATION"), getenv("QUERY_STRING")))
        return 0;

    char arg0[] = "plugin_ports", arg1[] = "--meta";
    char *argv[] = {arg0, arg1, nullptr};
    rewind(stdout);
    if (ports_main((flags & 1) ? 2 : 1, argv) != 0) abort();
    fflush(stdout);
    const std::string out(g_buf, g_len);

    if (out == k_meta) return 0;
    if (starts(out, k_json_head)) {
        const std::string body = out.substr(sizeof k_json_head - 1);
        if (body.empty() || body.back() != '\n' || body.find('\n') != body.size() - 1) abort();
        if (!json_check::is_object(body.data(), body.size() - 1)) abort();
        return 0;
    }
    if (starts(out, k_html_head) && out.size() > 8 &&
        out.compare(out.size() - 8, 8, "</html>\n") == 0)
        return 0;
    abort();
}
