// The probe: does something accept connections on a port of 127.0.0.1 (or of
// another address of this host), and does it answer HTTP?
#pragma once

#include <cstdint>

struct probe_target;

// The outcome of one probe action. -1 marks a duration that was not measured.
struct probe_result {
    int32_t open;        // the connect probe found the port open
    int32_t refused;     // the connect probe was refused (or its wait ran out)
    int32_t connect_ms;  // duration of the connect probe
    int32_t http_tried;  // the HEAD probe ran (only on an open port)
    int32_t http_ok;     // the HEAD probe read a positive status code
    int32_t http_status; // the status code it read, 0 when none
    int32_t http_ms;     // duration of the HEAD probe
};

// Connect outcomes.
enum { PROBE_OPEN = 0, PROBE_REFUSED = 1, PROBE_ERROR = -1 };

// Reads the query's port and address, probes and writes the probe body (the JSON
// header block is already out).
void probe_action(const char *query);

// The port a port text names, read like atoi; 0 when it is not 1..65535 (a number
// too large for 32 bits included).
int32_t port_from_text(const char *text);

// The query's port parameter: 1..65535, or 0 with the port's error body written.
int32_t port_param(const char *query);

// Sets every field to its initial value, runs the connect probe of the target's port,
// then the HEAD probe when the port is open. Returns the connect outcome.
int run_probe(const probe_target *t, int32_t port, probe_result *r);

// HEAD request on a connection of its own: 0 when the reply starts with "HTTP/" and
// carries a status code above 0, else -1. *status is written only once a reply was
// waited for: 0, or the code found.
int probe_http(const probe_target *t, int32_t port, int32_t *status);

// The status code of a reply text: the number after its first blank, or 0 (no
// "HTTP/" at the start, no blank, no number, or one too large for 32 bits).
// Returns 0 when the code is above 0, else -1.
int http_status_of(const char *reply, int32_t *status);

// Writes the probe body for a probe of the target's port ending at checked_at.
void write_probe_body(const probe_target *t, int32_t port, const probe_result *r,
                      const char *checked_at);
