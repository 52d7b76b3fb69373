#include "gate.h"

#include <cstdlib>
#include <cstring>

#include "output.h"
#include "platform/platform.h"
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

int password_of_file(const char *bytes, size_t n, int whole, char out[PWD_ROOM]) {
    out[0] = '\0';
    // Notepad may begin a UTF-8 file with a byte order mark; no password begins so.
    if (n >= 3 && memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
        bytes += 3;
        n -= 3;
    }
    const char *end = static_cast<const char *>(memchr(bytes, '\n', n));
    // No line end among bytes that do not end the file: the line is longer than these.
    if (!end && !whole) return -1;
    size_t len = end ? static_cast<size_t>(end - bytes) : n;
    if (len && bytes[len - 1] == '\r') --len;
    // An empty line says nothing, and a cut or NUL-ended one would be another password.
    if (len == 0 || len > PASSWORD_MAX || memchr(bytes, '\0', len)) return -1;
    memcpy(out, bytes, len);
    out[len] = '\0';
    // The page and the headers send UTF-8: a file saved in a legacy code page would
    // hold a password nobody can present.
    static char valid[PASSWORD_MAX * 3 + 1];
    utf8_copy(valid, sizeof valid, out);
    if (strcmp(valid, out) != 0) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int node_password(const char *bot_password, const char **expected) {
    *expected = nullptr;
    if (bot_password && *bot_password) {
        *expected = bot_password;
        return PASSWORD_SET;
    }
    // Its place, with room for a Windows path of any length.
    static char path[32768 * 3];
    if (plat_password_path(path, sizeof path) != 0) return PASSWORD_UNUSABLE;
    // Room for a byte order mark, the longest password and "\r\n"; one byte more tells a
    // longer first line.
    static char bytes[3 + PASSWORD_MAX + 2 + 1];
    static char password[PWD_ROOM];
    size_t got = 0;
    switch (plat_read_secret(path, bytes, sizeof bytes, &got)) {
    case PLAT_FILE_MISSING: return PASSWORD_NONE;
    case PLAT_FILE_READ: break;
    // Unreadable, no regular file, or open to every account: an operator meant a gate
    // here, and no answer goes out open because of the file.
    default: return PASSWORD_UNUSABLE;
    }
    if (password_of_file(bytes, got, got < sizeof bytes, password) != 0) return PASSWORD_UNUSABLE;
    *expected = password;
    return PASSWORD_SET;
}

void gate_unusable() {
    out_lit("Status: 500 Internal Server Error\r\n" JSON_CONTENT_TYPE NO_STORE_NOSNIFF "\r\n"
            "{\"ok\":false,\"error\":\"node password file unusable\"}\n");
    out_flush();
    exit(0);
}
