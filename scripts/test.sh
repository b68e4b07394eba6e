#!/usr/bin/env bash
# Installs what is needed, builds the program and its tests for Windows, replays the fuzz seeds natively,
# and runs every test under Wine. Fails when either part fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
python3 scripts/check-docs.py # the guides name every registry value, option and exit code
build="$root/build/test"
cmake --preset windows-test >/dev/null
cmake --build "$build" -j"$(nproc)"
# Every fuzz seed once, natively under the sanitizers: seconds, summary on one line, details in its log.
fuzz_status=0
scripts/fuzz.sh replay || fuzz_status=$?
source scripts/wine-session.sh "$build/wineprefix" "$build/session-logs"
cd "$build"
status=0
ctest --output-on-failure --timeout 900 "$@" || status=$?
[ "$fuzz_status" -eq 0 ] || echo "Fuzz replay failed: see $root/build/fuzz/replay.log"
[ "$status" -ne 0 ] || status=$fuzz_status
exit "$status"
