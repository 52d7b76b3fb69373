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

#include <arpa/inet.h>
#include <cstdio>

fake_list g_fake_lists[2][2];
char g_fake_path_sep = '\\';
int g_fake_addr_fail, g_fake_addr_empty, g_fake_image_calls;
int g_fake_opens, g_fake_closes, g_fake_read_count;
int g_fake_reads[16], g_fake_read_open[16];

namespace {

struct fake_process {
    uint32_t pid;
    char path[512];
};
fake_process g_images[8];
int g_image_count;
int g_open;

} // namespace

void fake_tables_reset() {
    memset(g_fake_lists, 0, sizeof g_fake_lists);
    g_fake_path_sep = '\\';
    g_fake_addr_fail = g_fake_addr_empty = g_fake_image_calls = 0;
    g_fake_opens = g_fake_closes = g_fake_read_count = 0;
    g_image_count = 0;
    g_open = 0;
}

plat_endpoint *fake_endpoint(int proto, int ipv6, const char *addr, int port, uint32_t pid) {
    fake_list &l = g_fake_lists[ipv6][proto];
    if (l.count >= FAKE_LIST_MAX) return nullptr;
    plat_endpoint *ep = &l.eps[l.count++];
    memset(ep, 0, sizeof *ep);
    inet_pton(ipv6 ? AF_INET6 : AF_INET, addr, ep->addr);
    ep->port_field = htons(static_cast<uint16_t>(port));
    ep->state = proto == PLAT_TCP ? PLAT_TCP_LISTEN : 0;
    ep->pid = pid;
    return ep;
}

void fake_image(uint32_t pid, const char *path) {
    if (g_image_count >= 8) return;
    g_images[g_image_count].pid = pid;
    snprintf(g_images[g_image_count].path, sizeof g_images[0].path, "%s", path);
    ++g_image_count;
}

void plat_tables_open() {
    ++g_fake_opens;
    g_open = 1;
}

void plat_tables_close() {
    ++g_fake_closes;
    g_open = 0;
}

int plat_table_read(int proto, int ipv6, plat_endpoint_fn fn, void *ctx) {
    if (g_fake_read_count < 16) {
        g_fake_reads[g_fake_read_count] = proto + 2 * (ipv6 != 0);
        g_fake_read_open[g_fake_read_count] = g_open;
        ++g_fake_read_count;
    }
    const fake_list &l = g_fake_lists[ipv6 != 0][proto];
    if (l.fail) return -1;
    for (int i = 0; i < l.count; ++i) fn(&l.eps[i], ctx);
    return 0;
}

int plat_addr_text(int ipv6, const unsigned char *addr, char *buf, size_t size) {
    if (g_fake_addr_fail) return -1;
    if (g_fake_addr_empty) {
        buf[0] = '\0';
        return 0;
    }
    return inet_ntop(ipv6 ? AF_INET6 : AF_INET, addr, buf, static_cast<socklen_t>(size)) ? 0 : -1;
}

int plat_image_path(uint32_t pid, char *buf, size_t size) {
    ++g_fake_image_calls;
    for (int i = 0; i < g_image_count; ++i) {
        if (g_images[i].pid != pid) continue;
        if (strlen(g_images[i].path) >= size) return -1;
        strcpy(buf, g_images[i].path);
        return 0;
    }
    return -1;
}

char plat_path_sep() { return g_fake_path_sep; }

// ---- loopback TCP -----------------------------------------------------------
