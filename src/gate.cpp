#include "gate.h"

#include <cstdlib>
#include <cstring>

#include "output.h"
#include "query.h"

int secret_equal(const char *presented, const char *expected) {
    const size_t np = strlen(presented);
    const size_t ne = strlen(expected);
    // Every byte of the expected text is visited whatever matched before it; the
    // only branch depends on the presented length, which the caller chose.
    volatile unsigned diff = np != ne;
    for (size_t i = 0; i < ne; ++i) {
        const unsigned char p = i < np ? static_cast<unsigned char>(presented[i]) : 0;
        diff = diff | (p ^ static_cast<unsigned char>(expected[i]));
    }
    return diff == 0;
}

// "Bearer " after leading blanks (never tabs), then further blanks; the rest is the
// password, trailing blanks included. Null when the value has another shape.
static const char *bearer_token(const char *auth) {
    while (*auth == ' ') ++auth;
    if (strncmp(auth, "Bearer ", 7) != 0) return nullptr;
    auth += 7;
    while (*auth == ' ') ++auth;
    return auth;
}

int gate_check(const char *expected, const char *x_bot_password, const char *authorization,
               const char *query) {
    if (x_bot_password && secret_equal(x_bot_password, expected)) return 1;
    if (authorization) {
        const char *token = bearer_token(authorization);
        if (token && secret_equal(token, expected)) return 1;
    }
    // Decoded whole: a password sent as pwd alone (the page does so when a header
    // cannot carry it) may take three raw characters a byte. A value that is longer than
    // the room or holds a NUL never matches: cut or ended early, it could stand for
    // another password.
    static char pwd[PWD_ROOM];
    if (query && get_query_whole(query, "pwd", pwd, sizeof pwd) == 1 && secret_equal(pwd, expected))
        return 1;
    return 0;
}

void gate_refuse() {
    out_lit("Status: 401 Unauthorized\r\n" JSON_CONTENT_TYPE NO_STORE_NOSNIFF "\r\n"
            "{\"ok\":false,\"error\":\"invalid node password\"}\n");
    out_flush();
    exit(0);
}
