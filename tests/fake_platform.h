// A platform layer that the logic tests steer.
#pragma once

#include <cstdint>

// The value plat_clock_ms returns next; every reading then advances it by
// g_fake_clock_step.
extern uint64_t g_fake_clock_ms;
extern uint64_t g_fake_clock_step;

// ---- endpoint tables, owners and image paths --------------------------------

#include "platform/platform.h"

enum { FAKE_LIST_MAX = 1100 };

// One endpoint list as plat_table_read delivers it; fail makes that read fail.
struct fake_list {
    plat_endpoint eps[FAKE_LIST_MAX];
    int count;
    int fail;
};

// The four lists, by [ipv6][proto].
extern fake_list g_fake_lists[2][2];

// Appends an endpoint: addr as text (inet_pton), port in host order, a listening
// state. The returned endpoint may be changed further.
plat_endpoint *fake_endpoint(int proto, int ipv6, const char *addr, int port, uint32_t pid);

// Gives pid an image path (a few at a time); other pids cannot be opened.
void fake_image(uint32_t pid, const char *path);

extern char g_fake_path_sep;   // what plat_path_sep answers
extern int g_fake_addr_fail;   // plat_addr_text fails
extern int g_fake_addr_empty;  // plat_addr_text succeeds with an empty text
extern int g_fake_image_calls; // plat_image_path calls so far

// What the logic did with the tables: opens, closes, and each read as
// proto + 2 * ipv6, with a 1 in read_open when the tables were open for it.
extern int g_fake_opens, g_fake_closes, g_fake_read_count;
extern int g_fake_reads[16], g_fake_read_open[16];

// Empties the lists and the images and clears every switch and counter.
void fake_tables_reset();

// ---- loopback TCP -----------------------------------------------------------
