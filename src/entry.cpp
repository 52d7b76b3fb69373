#include "entry.h"

#include <cstring>

#include "baseline.h"
#include "detail.h"
#include "gate.h"
#include "listeners.h"
#include "metrics.h"
#include "output.h"
#include "page.h"
#include "peers.h"
#include "platform/platform.h"
#include "probe.h"
#include "process.h"
#include "query.h"

int mode_meta() {
    out_lit("{\"name\":\"ports\",\"desc\":\"Listening TCP\"}\n");
    return 0;
}

route_kind route_request(const char *query, const char *method) {
    if (strstr(query, "action=")) return ROUTE_JSON;
    if (strstr(query, "format=json")) return ROUTE_JSON;
    if (method && strcmp(method, "POST") == 0) return ROUTE_JSON;
    if (strstr(query, "embed=1")) return ROUTE_EMBEDDED_PAGE;
    if (strstr(query, "embed=true")) return ROUTE_EMBEDDED_PAGE;
    return ROUTE_FULL_PAGE;
}

static void json_answer(const char *query, int gate_on) {
    char action[64];
    get_query_val(query, "action", action, sizeof action);
    // Its own header block: it is no JSON.
    if (strcmp(action, "metrics") == 0) {
        metrics_action(gate_on);
        return;
    }
    // The header block goes out before the action is judged: error bodies follow it too.
    out_lit(JSON_CONTENT_TYPE NO_STORE_NOSNIFF "\r\n");
    if (strcmp(action, "probe") == 0) {
        probe_action(query);
    } else if (strcmp(action, "process") == 0) {
        process_action(query, gate_on);
    } else if (strcmp(action, "peers") == 0) {
        peers_action(query, gate_on);
    } else if (!action[0] || strcmp(action, "listeners") == 0 || strcmp(action, "all") == 0) {
        // The detail answer only for "1" exactly: any other value keeps the plain bytes.
        char detail[2];
        if (get_query_whole(query, "detail", detail, sizeof detail) == 1 && detail[0] == '1')
            detail_action(gate_on);
        else
            listeners_action();
    } else {
        out_lit("{\"ok\":false,\"error\":\"unknown action\"}\n");
    }
}

int ports_main(int argc, char **argv) {
    plat_stdio_init();
    if (argc > 1 && strcmp(argv[1], "--meta") == 0) return mode_meta();
    // An operator's command, never a request's: a CGI host may hand a query without "="
    // over as the command line, and the rules would then go out without the gate.
    const char *cgi = plat_env("GATEWAY_INTERFACE");
    if (argc > 1 && strcmp(argv[1], "--baseline") == 0 && !(cgi && *cgi)) return mode_baseline();
    const char *meta = plat_env("ZL_PLUGIN_META");
    if (meta && *meta) return mode_meta();
    if (plat_net_start() != 0) return mode_meta();

    const char *raw_query = plat_env("QUERY_STRING");
    const char *expected = nullptr;
    const int source = node_password(plat_env("BOT_PASSWORD"), &expected);
    // A password file that cannot be used never leaves the node open.
    if (source == PASSWORD_UNUSABLE) gate_unusable();
    const int gate_on = source == PASSWORD_SET;
    if (gate_on && !gate_check(expected, plat_env("HTTP_X_BOT_PASSWORD"),
                               plat_env("HTTP_AUTHORIZATION"), raw_query))
        gate_refuse();

    const char *query = raw_query ? raw_query : "";
    switch (route_request(query, plat_env("REQUEST_METHOD"))) {
    case ROUTE_JSON: json_answer(query, gate_on); break;
    case ROUTE_EMBEDDED_PAGE: write_page(1); break;
    case ROUTE_FULL_PAGE: write_page(0); break;
    }
    return 0;
}
