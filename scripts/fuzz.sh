#!/usr/bin/env bash
# Runs every fuzz target of build-fuzz for the given number of seconds each.
# New inputs grow a working corpus in the build directory; the seeds in the tree stay
# as they are. A crash stops the run loudly and leaves its input under build-fuzz/crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
src=tests/fuzz
out=build-fuzz/fuzz-work
targets=(build-fuzz/tests/fuzz/fuzz_*)
[[ -x ${targets[0]} ]] || { echo "fuzz: no targets in build-fuzz" >&2; exit 1; }
for bin in "${targets[@]}"; do
  name=${bin##*/fuzz_}
  mkdir -p "$out/$name" "build-fuzz/crashes/$name"
  seeds=("$src/corpus/$name")
  [[ -d $src/regressions/$name ]] && seeds+=("$src/regressions/$name")
  echo "fuzz: $name for ${seconds}s"
  "$bin" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build-fuzz/crashes/$name/" "$out/$name" "${seeds[@]}" 2>&1 |
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==|SUMMARY|INFO: Running|Test unit written)' || true
  if [[ ${PIPESTATUS[0]} -ne 0 ]]; then
    echo "fuzz: $name FAILED; the input is in build-fuzz/crashes/$name/" >&2
    exit 1
  fi
done
echo "fuzz: all targets ran ${seconds}s clean"
