// One run: mode selection, the gate, routing and dispatch.
#pragma once

// What a CGI request is answered with.
enum route_kind { ROUTE_JSON = 0, ROUTE_EMBEDDED_PAGE = 1, ROUTE_FULL_PAGE = 2 };

// Routing by plain substring tests on the query text, first match wins. query is
// never null; method may be.
route_kind route_request(const char *query, const char *method);

// Writes the one-line metadata record (no header block); returns 0.
int mode_meta();

// The whole life of one run; returns the exit status, always 0.
int ports_main(int argc, char **argv);
