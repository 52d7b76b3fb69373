// The node password gate.
#pragma once

#include <cstddef>

// 1 when the two texts are equal. The time taken depends on the lengths only,
// never on how many leading bytes match.
int secret_equal(const char *presented, const char *expected);

// Room for the pwd parameter, decoded: a password of up to 1,024 bytes matches in
// that form.
enum { PWD_ROOM = 1025 };

// 1 when the request presents `expected` (non-empty) in one of its three forms, in
// this order: the X-Bot-Password header value, an Authorization "Bearer " value,
// the query parameter pwd. Any argument but expected may be null (not sent).
int gate_check(const char *expected, const char *x_bot_password, const char *authorization,
               const char *query);

// Writes the 401 refusal and ends the process with status 0.
[[noreturn]] void gate_refuse();

// Where the node password comes from, and so whether the gate is on.
enum {
    PASSWORD_NONE = 0,     // neither the variable nor a file: the gate is off
    PASSWORD_SET = 1,      // the gate is on
    PASSWORD_UNUSABLE = 2, // a password file that cannot be used: every request fails
};

// The longest node password, in bytes: the most the pwd parameter can carry.
enum { PASSWORD_MAX = PWD_ROOM - 1 };

// The password a password file's bytes hold: its first line without its line end
// ("\n", "\r\n" or a last "\r"), after a UTF-8 byte order mark. whole is 0 when the
// file may hold more than the bytes given. 0 with the password in out (PWD_ROOM bytes);
// -1 when it holds none that can be used: an empty first line, one longer than
// PASSWORD_MAX, one holding a NUL or no UTF-8.
int password_of_file(const char *bytes, size_t n, int whole, char out[PWD_ROOM]);

// The node password: bot_password (BOT_PASSWORD) when it is set and not empty, else the
// first line of the password file at the platform's fixed place. PASSWORD_SET with
// *expected the password, or another outcome above.
int node_password(const char *bot_password, const char **expected);

// Writes the answer to every request while the password file cannot be used (a 500
// status) and ends the process with status 0.
[[noreturn]] void gate_unusable();
