// A platform layer that the logic tests steer.
#pragma once

#include <cstdint>

// The value plat_clock_ms returns next; every reading then advances it by
// g_fake_clock_step.
extern uint64_t g_fake_clock_ms;
extern uint64_t g_fake_clock_step;

// ---- endpoint tables, owners and image paths --------------------------------

// ---- loopback TCP -----------------------------------------------------------
