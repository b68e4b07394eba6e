#!/usr/bin/env bash
# The main job: builds VESK_Updater.exe, starts it under Wine on a private Xvfb display, saves a screenshot of
# its window and prints where the log and the screenshot are.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
build="$root/build/windows"
cmake --preset windows -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
out="$root/build/main-job"
rm -rf "$out"
mkdir -p "$out/install"
cp "$build/bin/VESK_Updater.exe" "$out/install/"
source scripts/wine-session.sh "$build/wineprefix" "$out/session-logs"
/usr/lib/wine/wine64 "$out/install/VESK_Updater.exe" >"$out/session-logs/program.log" 2>&1 &
program=$!
deadline=$((SECONDS + 30))
until xwininfo -root -tree 2>/dev/null | grep -q '"VESK Updater"'; do
  if ! kill -0 "$program" 2>/dev/null || [ $SECONDS -ge $deadline ]; then break; fi
  sleep 0.2
done
import -window root "$out/window.png" || true
kill "$program" 2>/dev/null || true
wait "$program" 2>/dev/null || true
echo "Log:        $out/install/logs/ui_logs.log"
echo "Screenshot: $out/window.png"
