#!/usr/bin/env bash
# Process answer benchmark: one run of the program answering for one process (the test
# HTTP server, with its listener), process start to exit, against the start and exit of
# an empty static program. Behind the node password, so the command line is read too.
# Target: a ratio of at most 2; the answer reads that one process and the socket tables,
# never every descriptor of the node. Usage: bench/process.sh [program]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/startup.sh
startup_setup "${1:-build/plugin_ports}" process

export BOT_PASSWORD=bench HTTP_X_BOT_PASSWORD=bench QUERY_STRING="action=process&pid=$server"
# The answer must find the server and its listener, or the figures mean nothing.
"$prog" | grep -q "\"sockets\":\[{\"proto\":\"tcp\",\"bind_addr\":\"127.0.0.1\",\"port\":$port}\]" ||
    { echo "process bench: the answer did not find the test server's listener" >&2; exit 1; }

startup_compare
echo "process bench target: ratio at most 2"
