// Streaming output: every response goes to standard output piece by piece, in
// document order, while it is computed.
#pragma once

#include <cstddef>
#include <cstdint>

// Header lines every answer carries, for building each response's header block as
// one literal (and so one write).
#define JSON_CONTENT_TYPE "Content-Type: application/json; charset=utf-8\r\n"
#define NO_STORE_NOSNIFF "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"

// Writes n bytes exactly as given (never through a formatter).
void out_bytes(const char *s, size_t n);

// Writes a string literal without its terminator.
template<size_t N>
inline void out_lit(const char (&s)[N]) {
    out_bytes(s, N - 1);
}

// Writes a NUL-terminated text as is.
void out_text(const char *s);

// A 32-bit signed number in plain decimal ("%d").
void out_int(int32_t v);

// A millisecond duration in plain decimal ("%ld" over the 32-bit value).
void out_ms(int32_t v);

// A 64-bit signed number in plain decimal.
void out_i64(int64_t v);

// The JSON word true or false for a 0/1 flag.
void out_bool(int32_t flag);

// Writes text as one JSON string, quotes included. Only the quote, the backslash
// and bytes below 32 are escaped; every other byte passes through unchanged.
void json_str(const char *text);

// Copies src into dst (cap bytes, cap >= 1) as valid UTF-8: every ill-formed
// sequence becomes U+FFFD, one for each maximal part of it as a browser decodes it,
// and the text is cut before the first character that does not fit in cap - 1 bytes.
// Valid text that fits is copied unchanged.
void utf8_copy(char *dst, size_t cap, const char *src);

// Writes text of any length as one JSON string (as json_str does) of valid UTF-8:
// every ill-formed sequence becomes U+FFFD, as utf8_copy makes it.
void json_utf8(const char *text);

// Milliseconds for durations and deadlines. Only differences of two readings
// mean anything.
int64_t now_ms();

// Pushes buffered output to the process's standard output.
void out_flush();
