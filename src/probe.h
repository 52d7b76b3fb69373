// The loopback probe and the probe answer.
#pragma once

// Reads the port from the query text, probes 127.0.0.1 and writes the probe body
// (the JSON header block is already out).
void probe_action(const char *query);
