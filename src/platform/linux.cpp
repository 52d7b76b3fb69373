// Linux side of the platform layer.
#include "platform.h"

#include <signal.h>
#include <time.h>

// ---- process start --------------------------------------------------------

// A hub that stops reading early must not kill the run with SIGPIPE: writes then
// fail quietly and the run still ends with status 0.
void plat_stdio_init() { signal(SIGPIPE, SIG_IGN); }

int plat_net_start() { return 0; }

// ---- clocks ---------------------------------------------------------------

uint64_t plat_clock_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int plat_utc_now(struct tm *out) {
    time_t now = time(nullptr);
    return gmtime_r(&now, out) ? 0 : -1;
}

// ---- endpoint tables, owners and image paths --------------------------------

// ---- loopback TCP -----------------------------------------------------------
