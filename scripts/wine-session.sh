# Sourced by the scripts that run Windows programs: starts a private Xvfb display and a persistent
# wineserver for the given prefix, and stops both (quietly) when the calling shell exits.
# Usage: source scripts/wine-session.sh <wineprefix> <log-folder>
vesk_prefix="$(realpath -m "$1")"
vesk_logs="$2"
mkdir -p "$vesk_logs"
export WINEPREFIX="$vesk_prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

vesk_display=90
while [ -e "/tmp/.X11-unix/X$vesk_display" ] || [ -e "/tmp/.X$vesk_display-lock" ]; do
  vesk_display=$((vesk_display + 1))
done
Xvfb ":$vesk_display" -screen 0 1280x1024x24 -nolisten tcp >"$vesk_logs/xvfb.log" 2>&1 &
vesk_xvfb_pid=$!
export DISPLAY=":$vesk_display"

vesk_stop_session() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  kill "$vesk_xvfb_pid" >/dev/null 2>&1 || true
  wait "$vesk_xvfb_pid" 2>/dev/null || true
}
trap vesk_stop_session EXIT

vesk_deadline=$((SECONDS + 30))
until [ -e "/tmp/.X11-unix/X$vesk_display" ]; do
  if [ $SECONDS -ge $vesk_deadline ]; then echo "Xvfb did not start (see $vesk_logs/xvfb.log)" >&2; exit 1; fi
  sleep 0.1
done

# A persistent wineserver makes each Wine process start quickly; it never returns, so it runs in the background.
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p >"$vesk_logs/wineserver.log" 2>&1 &
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix in $WINEPREFIX ..."
fi
# Output goes to a file, never a pipe: Wine's background services would hold a pipe open forever.
/usr/lib/wine/wine64 wineboot --init >"$vesk_logs/wineboot.log" 2>&1
# A crashing program must end at once with a backtrace in its output, not wait in Wine's crash dialog.
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
  >"$vesk_logs/crash-dialog.log" 2>&1
