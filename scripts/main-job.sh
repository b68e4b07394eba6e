#!/usr/bin/env bash
# The main job: builds VESK_Updater.exe and shows a normal run under Wine on a private Xvfb display. The
# console updater simulator (a test program that prints scripted console-updater output) stands in for
# Updater.exe beside the program; screenshots of the window are taken while the progress moves, and the final
# log is printed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
build="$root/build/windows"
cmake --preset windows -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target VESK_Updater console_updater_simulator >/dev/null
out="$root/build/main-job"
rm -rf "$out"
mkdir -p "$out/install" "$out/screenshots"
install="$out/install"
cp "$build/bin/VESK_Updater.exe" "$install/"
cp "$build/bin/console_updater_simulator.exe" "$install/Updater.exe"
# What the stand-in console updater prints, and how fast (see tests/simulator/simulator_script.h).
cat >"$install/Updater.exe.script" <<'SCRIPT'
line VESK Update Client starting
sleep 1200
line Checking for updates from https://updates.vesk-app.net
sleep 1200
line Downloaded manifest (4 KB)
sleep 1200
line Manifest verified successfully
sleep 1200
line Starting update process
sleep 1000
line Stopping service VESKService
sleep 1000
line Updated: C:\Program Files\VESK\bin\VESK.exe
sleep 700
line Updated: C:\Program Files\VESK\bin\libcurl.dll
sleep 700
line Updated: C:\Program Files\VESK\data/core.pak
sleep 700
line Installing VESK services
sleep 1000
line Cleaning up backup
sleep 1000
line Update completed successfully
exit 0
SCRIPT

source scripts/wine-session.sh "$build/wineprefix" "$out/session-logs"
wine=/usr/lib/wine/wine64
# Xvfb has no window manager; unmanaged windows get their caption and frame drawn by Wine itself, so the
# screenshots show the whole window as a user would see it.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >"$out/session-logs/reg.log" 2>&1
# The program finds its install directory in the registry of the prefix.
install_win="Z:$(echo "$install" | sed 's#/#\\#g')"
"$wine" reg add 'HKLM\SOFTWARE\Corvanne\VESK' /v InstallPath /t REG_SZ /d "$install_win" /f \
  >>"$out/session-logs/reg.log" 2>&1

"$wine" "$install/VESK_Updater.exe" >"$out/session-logs/program.log" 2>&1 &
program=$!
# Screenshots while the window is up, until the program has ended (at most two minutes).
shot=0
deadline=$((SECONDS + 120))
while kill -0 "$program" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
  xwininfo -root -tree >"$out/session-logs/windows.txt" 2>&1 || true
  window="$(awk '/"VESK Updater": \(/ {print $1; exit}' "$out/session-logs/windows.txt")"
  if [ -n "$window" ]; then
    shot=$((shot + 1))
    import -window "$window" "$out/screenshots/window-$(printf '%02d' $shot).png" 2>/dev/null || true
    sleep 0.8
  else
    sleep 0.1
  fi
done
if kill -0 "$program" 2>/dev/null; then
  echo "The program did not end within two minutes; stopping it." >&2
  kill "$program" 2>/dev/null || true
fi
status=0
wait "$program" || status=$?

echo "VESK_Updater.exe exited with code $status"
echo "Screenshots: $out/screenshots ($shot taken while the window was showing)"
echo "Log:         $install/logs/ui_logs.log"
echo "----- final log -----"
cat "$install/logs/ui_logs.log"
exit "$status"
