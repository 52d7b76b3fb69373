#!/usr/bin/env bash
# Probe benchmark: one run of the program probing an open HTTP port on loopback,
# process start to exit, against the start and exit of an empty static program.
# Prints both means and their ratio. Usage: bench/probe.sh [program]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/startup.sh
startup_setup "${1:-build/plugin_ports}" probe

# The probe must really see the server answer, or the figures mean nothing.
QUERY_STRING="action=probe&port=$port" "$prog" | grep -q '"http_ok":true,"http_status":200' ||
    { echo "probe bench: the probe did not reach the test server" >&2; exit 1; }

QUERY_STRING="action=probe&port=$port" startup_compare
