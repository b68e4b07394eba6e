#!/usr/bin/env bash
# Manifest parsing benchmark: the signature report and the trust check over hostile manifests (1 MB of
# "{}" padding; 64 MiB, the largest manifest the program downloads, of zeros, of empty strings, and of "{}"
# inside the signed object), each against a plain pass over the same bytes, with the peak commit of the
# process beside the text's own size. Under Wine for the times, natively (same pure sources) for the peaks.
# Usage: scripts/bench/manifest_parse.sh [rounds]   (default 3; the build tree is build/test, configured if missing)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"
rounds="${1:-3}"
build="$root/build/test"
logs="$build/bench-logs"
mkdir -p "$logs"

source scripts/build-windows-target.sh
vesk_build_windows_target "$build" "$logs" manifest_parse_bench

source scripts/wine-session.sh "$build/wineprefix" "$build/session-logs"
status=0
shapes="objects1m zeros64m strings64m objects64m inside64m"
echo "-- under Wine"
for shape in $shapes; do
  # Wine's output goes to a file, never a pipe (its services would keep a pipe open).
  /usr/lib/wine/wine64 "$build/bin/manifest_parse_bench.exe" "$shape" "$rounds" >"$logs/manifest_parse.txt" \
    2>"$logs/manifest_parse.err" || { status=$?; echo "manifest_parse_bench $shape failed" >&2; }
  cat "$logs/manifest_parse.txt"
done
echo "-- native"
native="$build/bench-native"
mkdir -p "$native"
c++ -std=c++20 -O2 -Isrc tests/integrity/bench/manifest_parse_bench.cpp src/integrity/manifest_trust.cpp \
  src/integrity/manifest_signature_report.cpp -o "$native/manifest_parse_bench"
for shape in $shapes; do
  "$native/manifest_parse_bench" "$shape" "$rounds" || { status=$?; echo "native $shape failed" >&2; }
done
exit "$status"
