// Linux side of the platform layer: process start, clocks, addresses and TCP. The
// socket lists are in lists.cpp, the processes of /proc in proc_dirs.cpp.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "platform/sock_addr.h"

// ---- process start --------------------------------------------------------

// A hub that stops reading early must not kill the run with SIGPIPE: writes then
// fail quietly and the run still ends with status 0.
void plat_stdio_init() { signal(SIGPIPE, SIG_IGN); }

int plat_net_start() { return 0; }

const char *plat_env(const char *name) { return getenv(name); }

// ---- clocks ---------------------------------------------------------------

uint64_t plat_clock_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// The precise clock, not time(): that one reads the seconds as of the last timer tick,
// so a stamp taken just after a second begins could still name the second before.
int plat_utc_now(struct tm *out) {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return -1;
    const time_t now = ts.tv_sec;
    return gmtime_r(&now, out) ? 0 : -1;
}

// ---- addresses ----------------------------------------------------------------

int plat_addr_text(int ipv6, const unsigned char *addr, char *buf, size_t size) {
    if (size > 0x7fffffff) size = 0x7fffffff;
    return inet_ntop(ipv6 ? AF_INET6 : AF_INET, addr, buf, static_cast<socklen_t>(size)) ? 0 : -1;
}

int plat_addr_parse(const char *text, int *ipv6, unsigned char addr[16]) {
    return sock_addr_parse(text, ipv6, addr);
}

// ---- TCP --------------------------------------------------------------------

plat_sock plat_tcp_socket_of(int ipv6) {
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? PLAT_NO_SOCK : fd;
}

void plat_set_nonblocking(plat_sock s) {
    const int flags = fcntl(static_cast<int>(s), F_GETFL);
    if (flags >= 0) fcntl(static_cast<int>(s), F_SETFL, flags | O_NONBLOCK);
}

static int outcome_of(int err) {
    switch (err) {
    case 0: return PLAT_CONNECTED;
    // An interrupted non-blocking connect goes on in the background, like one in progress.
    case EINPROGRESS:
    case EINTR: return PLAT_IN_PROGRESS;
    case ECONNREFUSED: return PLAT_REFUSED;
    default: return PLAT_FAILED;
    }
}

int plat_connect_to(plat_sock s, int ipv6, const unsigned char *addr, int port, uint32_t scope_id) {
    struct sockaddr_storage to;
    const socklen_t len = static_cast<socklen_t>(sock_addr_make(ipv6, addr, port, scope_id, &to));
    // A link-local address names a host only with its interface, and this host may hold
    // it on another interface than the zone's (where a listener bound with IPV6_FREEBIND
    // named it): the connection leaves from the address itself, which the kernel allows
    // only on an interface that holds it, so it can never reach another host.
    if (scope_id && sock_addr_link_local(ipv6, addr)) {
        struct sockaddr_storage from = to;
        reinterpret_cast<sockaddr_in6 *>(&from)->sin6_port = 0;
        if (bind(static_cast<int>(s), reinterpret_cast<struct sockaddr *>(&from), len) != 0)
            return PLAT_FAILED;
    }
    if (connect(static_cast<int>(s), reinterpret_cast<struct sockaddr *>(&to), len) == 0)
        return PLAT_CONNECTED;
    return outcome_of(errno);
}

int plat_wait(plat_sock s, int for_write, int64_t ms) {
    const uint64_t deadline = plat_clock_ms() + static_cast<uint64_t>(ms < 0 ? 0 : ms);
    struct pollfd p = {static_cast<int>(s), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    for (;;) {
        const uint64_t now = plat_clock_ms();
        const uint64_t left = now < deadline ? deadline - now : 0;
        const int n = poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        // A signal must not shorten the wait into a false time-out: wait out the rest.
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

int plat_connect_result(plat_sock s) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &err, &len);
    const int outcome = outcome_of(err);
    return outcome == PLAT_IN_PROGRESS ? PLAT_FAILED : outcome;
}

int plat_local_endpoint(plat_sock s, int *ipv6, unsigned char addr[16], int *port) {
    struct sockaddr_storage a = {};
    socklen_t len = sizeof a;
    if (getsockname(static_cast<int>(s), reinterpret_cast<struct sockaddr *>(&a), &len) != 0)
        return -1;
    return sock_addr_read(&a, ipv6, addr, port);
}

long plat_send(plat_sock s, const void *data, size_t len) {
    return send(static_cast<int>(s), data, len, MSG_NOSIGNAL);
}

long plat_recv(plat_sock s, void *buf, size_t len) {
    long n;
    do n = recv(static_cast<int>(s), buf, len, 0);
    while (n < 0 && errno == EINTR);
    return n;
}

void plat_close(plat_sock s) { close(static_cast<int>(s)); }
