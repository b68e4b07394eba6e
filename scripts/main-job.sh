#!/usr/bin/env bash
# The main job: builds VESK_Updater.exe, starts it under Wine on a private Xvfb display, saves a screenshot of
# its window, closes it the way a user would, and prints where the log and the screenshot are.
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
wine=/usr/lib/wine/wine64

"$wine" "$out/install/VESK_Updater.exe" >"$out/session-logs/program.log" 2>&1 &
program=$!
window=""
deadline=$((SECONDS + 60))
while [ -z "$window" ]; do
  xwininfo -root -tree >"$out/session-logs/windows.txt" 2>&1 || true
  window="$(awk '/"VESK Updater": \(/ {print $1; exit}' "$out/session-logs/windows.txt")"
  if [ -n "$window" ] || ! kill -0 "$program" 2>/dev/null || [ $SECONDS -ge $deadline ]; then break; fi
  sleep 0.2
done

status=0
if [ -n "$window" ]; then
  sleep 1 # let the first paint finish
  import -window "$window" "$out/window.png"
  # Without /F, taskkill sends the window WM_CLOSE, exactly like its close button.
  "$wine" taskkill /IM VESK_Updater.exe >"$out/session-logs/taskkill.log" 2>&1 || true
  wait "$program" || status=$?
  echo "VESK_Updater.exe exited with code $status"
else
  echo "The window of VESK_Updater.exe did not appear (see $out/session-logs)" >&2
  kill "$program" 2>/dev/null || true
  wait "$program" 2>/dev/null || true
  status=1
fi
echo "Log:        $out/install/logs/ui_logs.log"
echo "Screenshot: $out/window.png"
exit "$status"
