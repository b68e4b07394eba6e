#!/usr/bin/env bash
# The main job: a real end-to-end update under Wine against a release served on loopback.
#
#  1. Builds VESK_Updater.exe with its default server at http://127.0.0.1:<port>, the console updater
#     simulator (a test program that plays scripted console-updater output) and the release tool.
#  2. Publishes a signed sample release with vesk-release: the simulator as Updater.exe with its script,
#     stand-in libcurl.dll and libsodium.dll (real DLLs of the cross toolchain's runtime), the real zlib DLL,
#     and the freshly built VESK_Updater.exe.
#  3. Serves the release with python3's http.server on 127.0.0.1:<port>, stopped at the end whatever happens.
#  4. Prepares an install folder (registered as InstallPath): libcurl.dll damaged, libsodium.dll missing, and
#     an outdated VESK_Updater.exe (the same build with bytes appended, so its digest differs).
#  5. Runs the program under Wine on Xvfb and follows the whole chain by its logs and processes (hand-over to
#     the copy in update\, replacement, --restart-done, core-file repair, console updater), taking
#     screenshots of the window.
#  6. Prints a report derived from the logs and files, and exits non-zero when the run did not do all of it.
#
# The port is 18790 unless VESK_MAIN_JOB_PORT says otherwise; it is built into the program, so it must be
# free. Everything lands in build/main-job/ (the run's files in build/main-job/run/, replaced on every run).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
port="${VESK_MAIN_JOB_PORT:-18790}"
base_url="http://127.0.0.1:$port"
version=2.1
build_number=345
wine=/usr/lib/wine/wine64

fail() {
  echo "main job: $*" >&2
  exit 1
}

# Succeeds when no other server holds 127.0.0.1:<port>. Connections of an earlier run still in TIME_WAIT do not
# count: the HTTP server reuses the address as well.
port_is_free() {
  python3 - "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
    s.listen(1)
except OSError:
    sys.exit(1)
finally:
    s.close()
PY
}

scripts/install-deps.sh

port_is_free "$port" || fail "port $port on 127.0.0.1 is in use; free it or choose another with VESK_MAIN_JOB_PORT=<port>"

out="$root/build/main-job"
run="$out/run"
mkdir -p "$out/build-logs"

# ---------------------------------------------------------------------------------------------------------
# 1. Build.
echo "Building VESK_Updater.exe (default server $base_url), the console updater simulator and vesk-release ..."
windows_build="$out/windows"
run_logged() { # <log> <command...>: the command's output goes to the log, shown only when it fails
  local log="$1"
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    fail "failed: $* (full output: $log)"
  fi
}
run_logged "$out/build-logs/windows-configure.log" \
  cmake --preset windows -B "$windows_build" -DVESK_DEFAULT_BASE_URL="$base_url" -DVESK_BUILD_TESTS=ON
run_logged "$out/build-logs/windows-build.log" \
  cmake --build "$windows_build" -j"$(nproc)" --target VESK_Updater console_updater_simulator
tool_build="$out/release-tool"
run_logged "$out/build-logs/release-tool-configure.log" \
  cmake -S tools/vesk-release -B "$tool_build" -G Ninja -DCMAKE_BUILD_TYPE=Release
run_logged "$out/build-logs/release-tool-build.log" cmake --build "$tool_build" -j"$(nproc)" --target vesk-release
tool="$tool_build/vesk-release"
program="$windows_build/bin/VESK_Updater.exe"
simulator="$windows_build/bin/console_updater_simulator.exe"

# ---------------------------------------------------------------------------------------------------------
# 2. Publish a signed sample release.
rm -rf "$run"
mkdir -p "$run/release" "$run/logs" "$run/screenshots"
release="$run/release"
server="$run/server"
logs="$run/logs"
shots="$run/screenshots"

cp "$simulator" "$release/Updater.exe"
# What the stand-in console updater prints, and how fast (see tests/simulator/simulator_script.h).
cat >"$release/Updater.exe.script" <<'SCRIPT'
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
# Stand-ins for the console updater's libcurl and libsodium: real DLLs from the cross toolchain's runtime.
# Nothing loads them here; they only have to be kept intact. zlib1.dll must be the real zlib DLL, because
# Wine's user32 loads it from beside the program.
cross_gcc=x86_64-w64-mingw32-gcc-posix
libcurl_sample="$("$cross_gcc" -print-file-name=libgcc_s_seh-1.dll)"
libsodium_sample="$(realpath -m "$("$cross_gcc" -print-file-name=libwinpthread-1.dll)")"
[ -f "$libcurl_sample" ] || fail "no sample DLL at $libcurl_sample"
[ -f "$libsodium_sample" ] || fail "no sample DLL at $libsodium_sample"
cp "$libcurl_sample" "$release/libcurl.dll"
cp "$libsodium_sample" "$release/libsodium.dll"
cp /usr/x86_64-w64-mingw32/lib/zlib1.dll "$release/zlib1.dll"
cp "$program" "$release/VESK_Updater.exe"

echo "Publishing release $version.$build_number with vesk-release ..."
run_logged "$logs/keygen.log" "$tool" keygen --out "$run/keys" --name main-job
run_logged "$logs/publish.log" "$tool" publish --from "$release" --version "$version" --build "$build_number" \
  --out "$server" --key "$run/keys/main-job.pem" --signer "VESK main job"
run_logged "$logs/check-file.log" "$tool" check "$server/manifest.json" --require-signature

# ---------------------------------------------------------------------------------------------------------
# 4. The install folder, as an older installation with damage would look.
install="$run/install"
mkdir -p "$install"
cp "$release/Updater.exe" "$release/Updater.exe.script" "$release/zlib1.dll" "$install/"
# libcurl.dll keeps its size but has bytes overwritten in the middle: only its digest shows the damage.
cp "$release/libcurl.dll" "$install/libcurl.dll"
printf 'DAMAGED BY THE MAIN JOB' | dd of="$install/libcurl.dll" bs=1 seek=4096 conv=notrunc status=none
# libsodium.dll is missing altogether.
# The outdated program: the same build with bytes appended. It still runs, and its digest differs.
cp "$program" "$install/VESK_Updater.exe"
printf '\nan older VESK_Updater.exe build (bytes appended by the main job)\n' >>"$install/VESK_Updater.exe"
install_win="Z:$(echo "$install" | sed 's#/#\\#g')"

# ---------------------------------------------------------------------------------------------------------
# 3 and 5. Serve the release and run the program.
source scripts/wine-session.sh "$out/wineprefix" "$logs/session"

server_pid=""
# Stops what this script started, whatever happened: the HTTP server, any VESK process still running from
# the install folder, then Xvfb and the wineserver.
main_job_cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" >/dev/null 2>&1 || true
    wait "$server_pid" 2>/dev/null || true
  fi
  scan_install_processes
  for pid in $install_pids; do
    kill "$pid" >/dev/null 2>&1 || true
  done
  vesk_stop_session
}

# Sets install_pids to the processes (ours, by /proc) whose command line names a program in the install folder:
# the program, its copy in update\ and the console updater. Wine shows a started program's command line there.
# Only shell builtins, because this runs several times a second. Each command line seen goes once into
# processes-seen.txt.
declare -A seen_processes=()
scan_install_processes() {
  local dir cmd parts
  install_pids=""
  for dir in /proc/[0-9]*; do
    [ -O "$dir" ] || continue
    mapfile -d '' -t parts <"$dir/cmdline" 2>/dev/null || continue
    cmd="${parts[*]}"
    case "${cmd,,}" in
      *"${install,,}/"*.exe* | *"${install_win,,}\\"*.exe*)
        install_pids+=" ${dir#/proc/}"
        if [ -z "${seen_processes["${dir#/proc/} $cmd"]:-}" ]; then
          seen_processes["${dir#/proc/} $cmd"]=1
          echo "${dir#/proc/} $cmd" >>"$logs/processes-seen.txt"
        fi
        ;;
    esac
  done
}
trap main_job_cleanup EXIT
# An interrupted run stops its server and programs too.
trap 'exit 130' INT TERM HUP

port_is_free "$port" || fail "port $port on 127.0.0.1 was taken while building; choose another with VESK_MAIN_JOB_PORT"
echo "Serving $server on $base_url (python3 -m http.server) ..."
python3 -u -m http.server "$port" --bind 127.0.0.1 --directory "$server" >"$logs/http-server.log" 2>&1 &
server_pid=$!
# Ready when it serves the published manifest byte for byte.
deadline=$((SECONDS + 30))
until python3 - "$base_url/manifest.json" "$server/manifest.json" >/dev/null 2>&1 <<'PY'; do
import sys, urllib.request
served = urllib.request.urlopen(sys.argv[1], timeout=2).read()
sys.exit(0 if served == open(sys.argv[2], "rb").read() else 1)
PY
  kill -0 "$server_pid" 2>/dev/null || fail "the HTTP server ended (see $logs/http-server.log)"
  [ $SECONDS -lt $deadline ] || fail "the HTTP server did not serve the manifest within 30 s (see $logs/http-server.log)"
  sleep 0.2
done
run_logged "$logs/check-served.log" "$tool" check "$base_url/manifest.json" --require-signature

# The program finds its install directory in the registry of the prefix.
"$wine" reg add 'HKLM\SOFTWARE\Corvanne\VESK' /v InstallPath /t REG_SZ /d "$install_win" /f \
  >"$logs/reg.log" 2>&1

echo "Running $install_win\\VESK_Updater.exe under Wine (display $DISPLAY) ..."
# Requests before this line were the readiness probe's and the check's; the program's come after it.
requests_before="$(wc -l <"$logs/http-server.log")"
"$wine" "$install/VESK_Updater.exe" >"$logs/program.log" 2>&1 &
first_pid=$!
first_status=""

# Follow the chain until no process of the install folder is left, for at most three minutes. The chain hands
# over from process to process (each starts the next before it ends), so "none left" is only believed after
# it has held for a full second of polls. Screenshots are taken while the window is showing.
shot=0
idle_since=""
deadline=$((SECONDS + 180))
while :; do
  if [ -z "$first_status" ] && ! kill -0 "$first_pid" 2>/dev/null; then
    first_status=0
    wait "$first_pid" || first_status=$?
  fi
  xwininfo -root -tree >"$logs/session/windows.txt" 2>&1 || true
  window="$(awk '/"VESK Updater": \(/ {print $1; exit}' "$logs/session/windows.txt")"
  if [ -n "$window" ]; then
    shot=$((shot + 1))
    import -window "$window" "$shots/window-$(printf '%02d' $shot).png" 2>/dev/null || shot=$((shot - 1))
  fi
  scan_install_processes
  if [ -n "$first_status" ] && [ -z "$install_pids" ]; then
    now="$(date +%s%N)"
    [ -n "$idle_since" ] || idle_since="$now"
    [ $((now - idle_since)) -lt 1000000000 ] || break
  else
    idle_since=""
  fi
  if [ $SECONDS -ge $deadline ]; then
    echo "main job: the update chain did not end within three minutes; stopping it." >&2
    break
  fi
  if [ -n "$window" ]; then sleep 0.7; else sleep 0.1; fi
done
timed_out=0
[ $SECONDS -lt $deadline ] || timed_out=1
if [ -z "$first_status" ]; then
  kill "$first_pid" 2>/dev/null || true
  first_status=0
  wait "$first_pid" || first_status=$?
fi

kill "$server_pid" >/dev/null 2>&1 || true
wait "$server_pid" 2>/dev/null || true
server_pid=""

# ---------------------------------------------------------------------------------------------------------
# 6. The report, from the logs and files.
python3 scripts/main-job-report.py \
  --install "$install" --server "$server" --version "$version.$build_number" --base-url "$base_url" \
  --http-log "$logs/http-server.log" --http-log-skip "$requests_before" --check-log "$logs/check-served.log" --screenshots "$shots" \
  --first-exit "$first_status" --timed-out "$timed_out"
