# Shared by the benchmarks that time one run of the program, process start to exit,
# against the start and exit of an empty static program (source it; bash). Every
# request pays the start, so that is the measure.
#   startup_setup PROGRAM NAME   checks the tools, builds the empty program, starts the
#                                test HTTP server on 127.0.0.1 ($port, its pid $server)
#   startup_compare              times "empty" against PROGRAM with the environment it is
#                                given; prints both means and medians and their ratio

startup_setup() {
    prog=$1
    bench=$2
    [[ -x $prog ]] || { echo "$bench bench: $prog is not built" >&2; exit 1; }
    command -v hyperfine >/dev/null || { echo "$bench bench: hyperfine is missing" >&2; exit 1; }
    tmp=$(mktemp -d)
    server=
    trap 'startup_cleanup' EXIT
    printf 'int main() { return 0; }\n' >"$tmp/empty.cpp"
    g++ -O2 -static -o "$tmp/empty" "$tmp/empty.cpp"
    python3 bench/http_ok_server.py 300 >"$tmp/port" &
    server=$!
    for _ in $(seq 50); do [[ -s $tmp/port ]] && break; sleep 0.1; done
    port=$(head -n1 "$tmp/port")
    [[ -n $port ]] || { echo "$bench bench: the test server did not start" >&2; exit 1; }
}

startup_cleanup() {
    [[ -n $server ]] && kill "$server" 2>/dev/null || true
    rm -rf "$tmp"
}

startup_compare() {
    hyperfine -N --style basic --warmup 30 --runs 500 --export-json "$tmp/result.json" \
        -n empty "$tmp/empty" -n "$bench" "$prog"
    python3 - "$tmp/result.json" "$bench" <<'PY'
import json, sys
name = sys.argv[2]
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
for stat in ("mean", "median"):
    e, p = r["empty"][stat], r[name][stat]
    print(f"{name} bench ({stat}): empty {e * 1e3:.3f} ms, {name} {p * 1e3:.3f} ms, "
          f"ratio {p / e:.2f}")
PY
}
