// Joining the names of the services that run in one process, and cutting a process's
// name to its room, kept apart from the system calls so the native unit tests build
// them too.
#pragma once

#include <cstddef>

// Name order: ASCII letters compared without regard to case, then the bytes; below
// 0 when a comes first.
int name_order(const char *a, const char *b);

// Sorts names (UTF-8) in name order, as Windows orders service names (ASCII letters
// without regard to case, then byte by byte), and writes them into buf joined with
// ",", each name whole: a name that no longer fits is left out with every later one.
// Returns the number of names written; buf is empty when none is.
size_t join_names(const char **names, size_t n, char *buf, size_t size);

// Copies a UTF-8 name into buf, cut between characters where it does not fit: never
// left empty for want of room, never ended inside a character.
void cut_name(const char *name, char *buf, size_t size);
