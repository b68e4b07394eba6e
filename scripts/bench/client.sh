#!/usr/bin/env bash
# Console client benchmark: the real program (window, update thread, console updater simulator as its child)
# takes in 10 MB of console output, measured against a bare pipe reader with the same pipe size, in
# interleaved rounds under Wine on Xvfb. Once with lines that match no phrase, once with a phrase on every line.
# Usage: scripts/bench/client.sh [rounds]   (default 7; the build tree is build/test, configured if missing)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"
rounds="${1:-7}"
build="$root/build/test"
logs="$build/bench-logs"
mkdir -p "$logs"

source scripts/build-windows-target.sh
vesk_build_windows_target "$build" "$logs" client_benchmark

source scripts/wine-session.sh "$build/wineprefix" "$build/session-logs"
# Wine's output goes to a file, never a pipe (its services would keep a pipe open).
status=0
/usr/lib/wine/wine64 "$build/bin/client_benchmark.exe" "$rounds" >"$logs/client.txt" 2>"$logs/client.err" || status=$?
grep -v ', round ' "$logs/client.txt" || true
if [ "$status" -ne 0 ]; then
  echo "client benchmark failed (exit $status); see $logs/client.txt and $logs/client.err" >&2
fi
exit "$status"
