#!/usr/bin/env bash
# Probe benchmark: one run of the program probing an open HTTP port on loopback,
# process start to exit, against the start and exit of an empty static program.
# Prints both means and their ratio. Usage: bench/probe.sh [program]
set -euo pipefail
cd "$(dirname "$0")/.."

prog=${1:-build/plugin_ports}
[[ -x $prog ]] || { echo "probe bench: $prog is not built" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "probe bench: hyperfine is missing" >&2; exit 1; }

tmp=$(mktemp -d)
server=
cleanup() {
    [[ -n $server ]] && kill "$server" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

printf 'int main() { return 0; }\n' >"$tmp/empty.cpp"
g++ -O2 -static -o "$tmp/empty" "$tmp/empty.cpp"

python3 bench/http_ok_server.py 300 >"$tmp/port" &
server=$!
for _ in $(seq 50); do [[ -s $tmp/port ]] && break; sleep 0.1; done
port=$(head -n1 "$tmp/port")
[[ -n $port ]] || { echo "probe bench: the test server did not start" >&2; exit 1; }

# The probe must really see the server answer, or the figures mean nothing.
QUERY_STRING="action=probe&port=$port" "$prog" | grep -q '"http_ok":true,"http_status":200' ||
    { echo "probe bench: the probe did not reach the test server" >&2; exit 1; }

QUERY_STRING="action=probe&port=$port" hyperfine -N --style basic --warmup 30 --runs 500 \
    --export-json "$tmp/result.json" -n empty "$tmp/empty" -n probe "$prog"

python3 - "$tmp/result.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
for stat in ("mean", "median"):
    e, p = r["empty"][stat], r["probe"][stat]
    print(f"probe bench ({stat}): empty {e * 1e3:.3f} ms, probe {p * 1e3:.3f} ms, "
          f"ratio {p / e:.2f}")
PY
