#include "probe.h"

#include "output.h"

// UNFINISHED: the probe is not built yet; this says so instead of answering.
void probe_action(const char *) {
    out_lit("{\"ok\":false,\"action\":\"probe\",\"error\":\"not built yet\"}\n");
}
