// The metrics answer (action=metrics): the listeners and the policy's judgement in
// Prometheus' text exposition format 0.0.4, for the monitoring a node already has.
#pragma once

// The answer's header block, as one literal.
#define METRICS_CONTENT_TYPE "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"

// Writes a text as a label value: the backslash, the double quote and the line feed
// escaped as the format asks, every other byte as it is.
void metric_label_value(const char *text);

// Writes the header block and the metrics of the sockets of the program's own network
// namespace, and ports_gate_enabled (gate_on: a node password guards the program). When
// not one list can be read, only ports_tables_unreadable and ports_gate_enabled are said.
void metrics_action(int gate_on);
