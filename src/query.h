#pragma once

#include <cstddef>

// Finds the parameter `name` in a URL query text and copies its value, cut to
// size - 1 bytes and then URL-decoded, into buf (size >= 2). Returns 1 when the
// parameter is present (even with an empty value), else 0 with buf empty. A name
// counts only at the start of the query or right after '&'; the first one wins.
int get_query_val(const char *query, const char *name, char *buf, size_t size);
