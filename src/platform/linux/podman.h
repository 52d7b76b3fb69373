// podman's containers on Linux, as its conmon processes tell them.
#pragma once

#include <cstdint>

struct lf_conmon;

// Fills *out from process pid when it is podman's conmon run by root in the node's own
// user namespace and its command line is conmon's: 0, else -1.
int lpm_conmon(uint32_t pid, lf_conmon *out);
