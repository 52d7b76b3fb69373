// The system calls that the Linux endpoint tables depend on, behind one table: the
// program uses the real ones, and tests swap one for a failing stand-in to reach the
// paths of a broken dump or a full memory.
#pragma once

#include <cstddef>
#include <sys/socket.h>
#include <sys/types.h>

struct linux_sys {
    int (*socket)(int domain, int type, int protocol);
    ssize_t (*sendto)(int fd, const void *buf, size_t len, int flags, const sockaddr *to,
                      socklen_t to_len);
    ssize_t (*recv)(int fd, void *buf, size_t len, int flags);
    int (*open)(const char *path, int flags);
    ssize_t (*read)(int fd, void *buf, size_t len);
    void *(*realloc)(void *p, size_t size);
    void *(*malloc)(size_t size);
};

extern linux_sys g_linux_sys;

// The table as the program starts with it.
extern const linux_sys LINUX_SYS_REAL;
