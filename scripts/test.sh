#!/usr/bin/env bash
# Installs what is needed, builds the program and its tests for Windows, and runs every test under Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
python3 scripts/check-docs.py # the guides name every registry value, option and exit code
build="$root/build/test"
cmake --preset windows-test >/dev/null
cmake --build "$build" -j"$(nproc)"
source scripts/wine-session.sh "$build/wineprefix" "$build/session-logs"
cd "$build"
ctest --output-on-failure --timeout 900 "$@"
