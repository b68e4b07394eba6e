#!/usr/bin/env bash
# Runs every benchmark in scripts/bench/ in name order and prints what each reports. Each benchmark builds
# what it needs (natively, Release). Not part of the tests: timings depend on the machine and its load.
#   VESK_BENCH_ROUNDS    rounds per measurement, passed on to every benchmark
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for bench in "$root"/scripts/bench/*.sh; do
  echo "== $(basename "$bench")"
  bash "$bench" || { echo "$(basename "$bench") failed" >&2; status=1; }
done
exit $status
