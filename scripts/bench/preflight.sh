#!/bin/bash
# Preflight with every file current: how long it takes beyond hashing the core files it must read.
# Builds the benchmark program, runs it under Wine from a temporary install folder as VESK_Updater.exe
# (so that it checks its own executable as the program does) and prints one line.
# Usage: scripts/bench/preflight.sh [rounds]   (build tree: build/test, or $VESK_BENCH_BUILD)
set -eu
cd "$(dirname "$0")/../.."
build="${VESK_BENCH_BUILD:-build/test}"
rounds="${1:-15}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset windows-test >/dev/null
fi
cmake --build "$build" -j2 --target preflight_bench >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/install"
cp "$build/bin/preflight_bench.exe" "$work/install/VESK_Updater.exe"
(
  source scripts/wine-session.sh "$build/wineprefix" "$build/session-logs"
  /usr/lib/wine/wine64 "$work/install/VESK_Updater.exe" "$rounds" >"$work/out.txt" 2>"$work/err.txt"
) || { cat "$work/err.txt" >&2; exit 1; }
grep "^preflight beyond hashing" "$work/out.txt"
if [ -n "${VESK_BENCH_VERBOSE:-}" ]; then cat "$work/err.txt" >&2; fi
