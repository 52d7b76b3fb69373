#include "platform/linux/checked_files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/sys.h"
#include "platform/platform.h"

int lc_next_component(const char *path, size_t *at, const char **name, size_t *len) {
    while (path[*at] == '/') ++*at;
    if (!path[*at]) return 0;
    *name = path + *at;
    *len = strcspn(*name, "/");
    *at += *len;
    while (path[*at] == '/') ++*at;
    if ((*len == 1 && (*name)[0] == '.') || (*len == 2 && (*name)[0] == '.' && (*name)[1] == '.'))
        return -1;
    return 1;
}

int lc_check_file(const struct stat &st, int64_t owner) {
    if (!S_ISREG(st.st_mode)) return PLAT_FILE_NOT_REGULAR;
    if (owner != LC_ANY_OWNER && static_cast<int64_t>(st.st_uid) != owner)
        return PLAT_FILE_UNREADABLE;
    return PLAT_FILE_READ;
}

namespace {

enum { WANT_FILE, WANT_DIR, WANT_STAT };
enum { MAX_LINKS = 8 };

int outcome_of(int err) {
    return err == ENOENT || err == ENOTDIR ? PLAT_FILE_MISSING : PLAT_FILE_UNREADABLE;
}

// Opens what path names beneath root, component by component, as lc_read says: for
// WANT_FILE a descriptor of the regular file, for WANT_DIR one of the folder, for
// WANT_STAT only *st. The descriptor (0 for WANT_STAT), or -1 with *outcome.
int walk(int root, const char *path, int64_t owner, int want, struct stat *st, int *outcome) {
    *outcome = PLAT_FILE_UNREADABLE;
    if (path[0] != '/') return -1;
    // What is left to resolve; a link's target takes the place of the link in it.
    static char rest[2 * PATH_MAX], next[2 * PATH_MAX];
    if (strlen(path) >= sizeof rest) return -1;
    strcpy(rest, path);
    int dir = fcntl(root, F_DUPFD_CLOEXEC, 0);
    if (dir < 0) return -1;
    int links = 0;
    size_t at = 0;
    const char *name;
    size_t len;
    int result = -1;
    for (;;) {
        const int got = lc_next_component(rest, &at, &name, &len);
        if (got <= 0) break; // "/" itself, or a "." or ".."
        char part[NAME_MAX + 1];
        if (len > NAME_MAX) break;
        memcpy(part, name, len);
        part[len] = '\0';
        const bool last = rest[at] == '\0';
        struct stat here;
        if (fstatat(dir, part, &here, AT_SYMLINK_NOFOLLOW) != 0) {
            *outcome = outcome_of(errno);
            break;
        }
        if (S_ISLNK(here.st_mode)) {
            // A link its owner's account made is part of the layout (/var/run to /run);
            // any other may lead anywhere.
            char target[PATH_MAX];
            const ssize_t n = readlinkat(dir, part, target, sizeof target - 1);
            if (owner == LC_ANY_OWNER || static_cast<int64_t>(here.st_uid) != owner ||
                ++links > MAX_LINKS || n <= 0)
                break;
            target[n] = '\0';
            const size_t joined = strlen(target) + 1 + strlen(rest + at) + 1;
            if (joined > sizeof next) break;
            strcpy(next, target);
            strcat(next, "/");
            strcat(next, rest + at);
            strcpy(rest, next);
            at = 0;
            if (target[0] == '/') {
                close(dir);
                dir = fcntl(root, F_DUPFD_CLOEXEC, 0);
                if (dir < 0) return -1;
            }
            continue;
        }
        if (!last) {
            const int sub = openat(dir, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) {
                *outcome = outcome_of(errno);
                break;
            }
            close(dir);
            dir = sub;
            continue;
        }
        if (want == WANT_STAT) {
            *st = here;
            *outcome = PLAT_FILE_READ;
            result = 0;
            break;
        }
        if (want == WANT_DIR) {
            if (!S_ISDIR(here.st_mode)) {
                *outcome = PLAT_FILE_NOT_REGULAR;
                break;
            }
        } else if ((*outcome = lc_check_file(here, owner)) != PLAT_FILE_READ) {
            // Not opened at all: opening a FIFO or a device may wait or act.
            break;
        }
        const int flags = want == WANT_DIR ? O_RDONLY | O_DIRECTORY : O_RDONLY | O_NONBLOCK | O_NOCTTY;
        const int fd = openat(dir, part, flags | O_NOFOLLOW | O_CLOEXEC);
        struct stat now;
        if (fd < 0) {
            *outcome = outcome_of(errno);
        } else if (fstat(fd, &now) != 0 || now.st_dev != here.st_dev || now.st_ino != here.st_ino ||
                   (want == WANT_DIR && owner != LC_ANY_OWNER &&
                    static_cast<int64_t>(now.st_uid) != owner)) {
            // Swapped for something else since it was looked at.
            *outcome = PLAT_FILE_UNREADABLE;
            close(fd);
        } else {
            *outcome = PLAT_FILE_READ;
            result = fd;
        }
        break;
    }
    close(dir);
    return result;
}

// The descriptor of a file to read, as lc_read opens it; -1 with *outcome.
int open_checked(int root, const char *path, int64_t owner, int *outcome) {
    if (owner != LC_ANY_OWNER) {
        struct stat st;
        return walk(root, path, owner, WANT_FILE, &st, outcome);
    }
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        // Out of descriptors, say: whether the file is there at all needs none to tell.
        struct stat st;
        const int err = errno;
        *outcome = outcome_of(err) == PLAT_FILE_MISSING || (stat(path, &st) != 0 && errno == ENOENT)
                       ? PLAT_FILE_MISSING
                       : PLAT_FILE_UNREADABLE;
        return -1;
    }
    struct stat st;
    *outcome = fstat(fd, &st) != 0 ? PLAT_FILE_UNREADABLE : lc_check_file(st, owner);
    if (*outcome == PLAT_FILE_READ) return fd;
    close(fd);
    return -1;
}

} // namespace

int lc_stat(int root, const char *path, int64_t owner, struct stat *st) {
    int outcome;
    walk(root, path, owner, WANT_STAT, st, &outcome);
    return outcome;
}

int lc_open_dir(int root, const char *path, int64_t owner) {
    int outcome;
    struct stat st;
    return walk(root, path, owner, WANT_DIR, &st, &outcome);
}

int lc_read_start(int root, const char *path, int64_t owner, void *buf, size_t cap, size_t *got,
                  bool secret) {
    *got = 0;
    int outcome;
    const int fd = open_checked(root, path, owner, &outcome);
    if (fd < 0) return outcome;
    struct stat st;
    if (secret && (fstat(fd, &st) != 0 || (st.st_mode & S_IROTH))) {
        close(fd);
        return PLAT_FILE_EXPOSED;
    }
    char *into = static_cast<char *>(buf);
    while (*got < cap) {
        const ssize_t n = read(fd, into + *got, cap - *got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) outcome = PLAT_FILE_UNREADABLE;
        if (n <= 0) break;
        *got += static_cast<size_t>(n);
    }
    close(fd);
    return outcome;
}

int lc_read(int root, const char *path, int64_t owner, size_t limit, char **text, size_t *len) {
    *text = nullptr;
    *len = 0;
    int outcome;
    const int fd = open_checked(root, path, owner, &outcome);
    if (fd < 0) return outcome;
    size_t cap = 0;
    for (;;) {
        // Room for one byte more than read, so the text can be ended.
        if (*len + 1 >= cap) {
            void *grown = cap < limit ? g_linux_sys.realloc(*text, cap ? cap * 2 : 16384) : nullptr;
            if (!grown) {
                outcome = PLAT_FILE_UNREADABLE;
                break;
            }
            *text = static_cast<char *>(grown);
            cap = cap ? cap * 2 : 16384;
        }
        const ssize_t got = read(fd, *text + *len, cap - 1 - *len);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) outcome = PLAT_FILE_UNREADABLE;
        if (got <= 0) break;
        *len += static_cast<size_t>(got);
    }
    close(fd);
    if (outcome != PLAT_FILE_READ || *len > limit) {
        free(*text);
        *text = nullptr;
        *len = 0;
        return PLAT_FILE_UNREADABLE;
    }
    (*text)[*len] = '\0';
    return outcome;
}
