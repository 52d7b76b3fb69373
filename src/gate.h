// The node password gate.
#pragma once

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
