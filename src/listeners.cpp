#include "listeners.h"

#include "output.h"

// UNFINISHED: the inventory is not built yet; this says so instead of answering.
void listeners_action() {
    out_lit("{\"ok\":false,\"action\":\"listeners\",\"error\":\"not built yet\"}\n");
}
