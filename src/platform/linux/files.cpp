// Linux side of the files the program reads: the file of expected listeners and the node
// password file, their fixed places and a bounded read.
#include "platform/platform.h"

#include <cstdio>
#include <fcntl.h>

#include "platform/linux/checked_files.h"

int plat_policy_path(char *buf, size_t size) {
    const int n = snprintf(buf, size, "%s", "/etc/ports/expected");
    return n > 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

int plat_password_path(char *buf, size_t size) {
    const int n = snprintf(buf, size, "%s", "/etc/ports/password");
    return n > 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

// The operator names these files: their links are followed, but they are read as every
// other file is, never waited on.
int plat_read_file(const char *path, void *buf, size_t cap, size_t *got) {
    return lc_read_start(AT_FDCWD, path, LC_ANY_OWNER, buf, cap, got);
}

int plat_read_secret(const char *path, void *buf, size_t cap, size_t *got) {
    return lc_read_start(AT_FDCWD, path, LC_ANY_OWNER, buf, cap, got, true);
}
