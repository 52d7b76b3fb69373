// Opening a file whose path another process or account may have had a hand in: the
// engine's configuration and state, the file of expected listeners. Nothing opened here
// can make the program wait (a FIFO, a device), and a path is never taken through a
// symbolic link that its expected owner did not make.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>

// Any owner: the path is the operator's own choice, and its links are followed.
const int64_t LC_ANY_OWNER = -1;

// The next component of a path at *at: its start and length, and *at past it and the
// slashes after it. 0 at the end; -1 for a component that is "." or "..", which a path
// resolved beneath a root may not hold.
int lc_next_component(const char *path, size_t *at, const char **name, size_t *len);

// Whether what fstat says of an opened file lets it be read: a regular file (else
// PLAT_FILE_NOT_REGULAR), of owner unless any (else PLAT_FILE_UNREADABLE); PLAT_FILE_READ.
int lc_check_file(const struct stat &st, int64_t owner);

// Opens path, as lc_read does, and says what it is without reading it: for a file that is
// no regular one (a namespace's bind mount, say), *st is filled and the outcome is
// PLAT_FILE_READ when the last component exists. Links owned by owner are followed.
int lc_stat(int root, const char *path, int64_t owner, struct stat *st);

// Opens a folder beneath root, as lc_read does, owned by owner: its descriptor, or -1.
int lc_open_dir(int root, const char *path, int64_t owner);

// Reads the regular file at path whole, at most limit bytes, into memory of its own
// (*text, freed by the caller, ended by a NUL past its *len bytes). With owner an account:
// path is absolute and resolved beneath root (a folder standing for "/"), one component at
// a time; a symbolic link is followed only when that account owns it (at most 8 of them,
// absolute ones from root again), "." and ".." are refused, and the file must be owned by
// that account. With LC_ANY_OWNER: path is opened as given. Either way it is opened
// without blocking, and checked to be a regular file before a byte is read. An outcome of
// plat_read_file; PLAT_FILE_UNREADABLE too for a file larger than limit.
int lc_read(int root, const char *path, int64_t owner, size_t limit, char **text, size_t *len);

// The first cap bytes of the file, as lc_read opens it, into buf; *got the bytes read
// (the file may be longer). A secret file that every account may read is not read:
// PLAT_FILE_EXPOSED.
int lc_read_start(int root, const char *path, int64_t owner, void *buf, size_t cap, size_t *got,
                  bool secret = false);
