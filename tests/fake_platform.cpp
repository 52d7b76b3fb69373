#include "fake_platform.h"

#include <cstring>

#include "platform/platform.h"

uint64_t g_fake_clock_ms = 1000;
uint64_t g_fake_clock_step = 0;

void plat_stdio_init() {}

int plat_net_start() { return 0; }

uint64_t plat_clock_ms() {
    const uint64_t now = g_fake_clock_ms;
    g_fake_clock_ms += g_fake_clock_step;
    return now;
}

int plat_utc_now(struct tm *out) {
    memset(out, 0, sizeof *out);
    out->tm_year = 2026 - 1900;
    out->tm_mon = 11;
    out->tm_mday = 8;
    out->tm_hour = 2;
    out->tm_min = 38;
    return 0;
}

// ---- endpoint tables, owners and image paths --------------------------------

// ---- loopback TCP -----------------------------------------------------------
