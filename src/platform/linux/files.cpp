// Linux side of the files the program reads: the file of expected listeners and the node
// password file, their fixed places and a bounded read.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int plat_policy_path(char *buf, size_t size) {
    const int n = snprintf(buf, size, "%s", "/etc/ports/expected");
    return n > 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

int plat_password_path(char *buf, size_t size) {
    const int n = snprintf(buf, size, "%s", "/etc/ports/password");
    return n > 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

namespace {

// secret: a file whose mode lets every account read it is not read.
int read_file(const char *path, void *buf, size_t cap, size_t *got, bool secret) {
    *got = 0;
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? PLAT_FILE_MISSING : PLAT_FILE_UNREADABLE;
    struct stat st;
    int outcome = PLAT_FILE_READ;
    if (fstat(fd, &st) != 0) {
        outcome = PLAT_FILE_UNREADABLE;
    } else if (!S_ISREG(st.st_mode)) {
        outcome = PLAT_FILE_NOT_REGULAR;
    } else if (secret && (st.st_mode & S_IROTH)) {
        outcome = PLAT_FILE_EXPOSED;
    } else {
        char *into = static_cast<char *>(buf);
        while (*got < cap) {
            const ssize_t n = read(fd, into + *got, cap - *got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) outcome = PLAT_FILE_UNREADABLE;
            if (n <= 0) break;
            *got += static_cast<size_t>(n);
        }
    }
    close(fd);
    return outcome;
}

} // namespace

int plat_read_file(const char *path, void *buf, size_t cap, size_t *got) {
    return read_file(path, buf, cap, got, false);
}

int plat_read_secret(const char *path, void *buf, size_t cap, size_t *got) {
    return read_file(path, buf, cap, got, true);
}
