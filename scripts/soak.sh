#!/usr/bin/env bash
# Soak run: the real VESK_Updater.exe, RUNS times (default 100), against loopback servers that break a random
# half of their answers (cut bodies, resets, stalls, wrong bytes, wrong lengths, 5xx with and without
# Retry-After, slow trickles, redirects, dropped connections), with a forwarding proxy in the path for a third
# of the runs and a dead machine proxy plus a working user proxy for a sixth. After every run it checks that
# each core file holds its old or its released bytes, that nothing stray is left, that the run ended within
# the bound and that the log tells what happened; at the end it prints a table. Not part of the tests.
# Usage: scripts/soak.sh [RUNS]
#   VESK_SOAK_SEED    seed of the random faults (default: the time)
#   VESK_SOAK_BOUND   seconds one run may take (default 600, the worst case docs/operations.md states)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
runs="${1:-100}"
seed="${VESK_SOAK_SEED:-$(date +%s)}"
bound="${VESK_SOAK_BOUND:-600}"
# A build tree of its own whose built-in server is on another loopback port than the tests' one, so that a
# soak run never holds the port the integration tests wait for.
build="$root/build/soak"
port="${VESK_SOAK_PORT:-18799}"
logs="$build/soak-logs"
mkdir -p "$logs"

source scripts/build-windows-target.sh
vesk_build_windows_target "$build" "$logs" soak_runner -DVESK_DEFAULT_BASE_URL="http://127.0.0.1:$port"

# A prefix of its own as well: the soak changes the prefix's proxy settings.
source scripts/wine-session.sh "$build/wineprefix" "$build/session-logs"
echo "soak: $runs runs, seed $seed, bound $bound s"
status=0
# Wine's output goes to a file, never a pipe (its services would keep a pipe open).
/usr/lib/wine/wine64 "$build/bin/soak_runner.exe" "$runs" "$seed" "$bound" >"$logs/soak.txt" 2>"$logs/soak.err" ||
  status=$?
grep -v '^run [0-9]*: [0-9.]* s' "$logs/soak.txt" || true
if [ "$status" -ne 0 ]; then
  echo "soak run failed (exit $status); see $logs/soak.txt and $logs/soak.err" >&2
fi
exit "$status"
