// Reading the request's texts: query parameters and numbers.
#pragma once

#include <cstddef>
#include <cstdint>

// Finds the parameter `name` in a URL query text and copies its value, cut to
// size - 1 bytes and then URL-decoded, into buf (size >= 2). Returns 1 when the
// parameter is present (even with an empty value), else 0 with buf empty. A name
// counts only at the start of the query or right after '&'; the first one wins.
int get_query_val(const char *query, const char *name, char *buf, size_t size);

// Like get_query_val, but the value is decoded whole before it is judged: 1 when the
// parameter is present and its decoded text holds no NUL and fits in size - 1 bytes;
// -1 when it is present but does not (buf then empty), so a cut or shortened text can
// never stand for the value that was sent; 0 when it is absent.
int get_query_whole(const char *query, const char *name, char *buf, size_t size);

// Reads a number as atoi does (leading white space, one sign, decimal digits up to the
// first non-digit, 0 without digits), but defined for every text: one that does not
// fit in 32 bits gives -1 and *out 0; otherwise 0.
int text_to_int32(const char *text, int32_t *out);
