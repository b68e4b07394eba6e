#!/usr/bin/env bash
# The main job: a real end-to-end update under Wine against a release served over HTTPS on loopback, by a
# program built in trusted-release mode.
#
#  1. Builds the release tool and has it generate the release key; builds VESK_Updater.exe in trusted-release
#     mode (that key built in, its default server https://localhost:<port>), the console updater simulator (a
#     test program that plays scripted console-updater output) and the test CA installer.
#  2. Publishes a release signed with that key with vesk-release: the simulator as Updater.exe with its
#     script, stand-in libcurl.dll and libsodium.dll (real DLLs of the cross toolchain's runtime), the real
#     zlib DLL, and the freshly built VESK_Updater.exe.
#  3. Makes a test CA and a certificate for localhost with openssl, makes the CA trusted in the job's Wine
#     prefix with the CA installer (the machine root store, as an administrator would), and serves the release
#     over TLS with tests/https/tls_test_server.py on localhost:<port>, stopped at the end whatever happens.
#  4. Prepares an install folder (registered as InstallPath): libcurl.dll damaged, libsodium.dll missing, and
#     an outdated VESK_Updater.exe (the same build with bytes appended, so its digest differs).
#  5. Runs the program under Wine on Xvfb and follows the whole chain by its logs and processes (hand-over to
#     the copy in update\, replacement, --restart-done, core-file repair, console updater), taking
#     screenshots of the window; one of them becomes build/main-job/progress-window.png (and, with
#     VESK_MAIN_JOB_DOCS_SCREENSHOT=1, the picture docs/progress-window.png).
#  6. Serves a tampered release instead: altered files, a manifest re-hashed for them and signed with another
#     key. Runs the program again and records whether anything in the install folder changed.
#  7. Prints a report derived from the logs and files, and exits non-zero when the run did not do all of it.
#
# The port is 18790 unless VESK_MAIN_JOB_PORT says otherwise; it is built into the program, so it must be
# free. Everything lands in build/main-job/ (the run's files in build/main-job/run/, replaced on every run).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
port="${VESK_MAIN_JOB_PORT:-18790}"
# The certificate names localhost: the program asks for that name, never for an address.
base_url="https://localhost:$port"
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
rm -rf "$run"
mkdir -p "$run/release" "$run/logs" "$run/screenshots" "$run/tampered/screenshots"
release="$run/release"
server="$run/server"
logs="$run/logs"
shots="$run/screenshots"

run_logged() { # <log> <command...>: the command's output goes to the log, shown only when it fails
  local log="$1"
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    fail "failed: $* (full output: $log)"
  fi
}

# ---------------------------------------------------------------------------------------------------------
# 1. Build: the release tool first, because the program is built with the key it generates.
echo "Building vesk-release and generating the release key ..."
tool_build="$out/release-tool"
run_logged "$out/build-logs/release-tool-configure.log" \
  cmake -S tools/vesk-release -B "$tool_build" -G Ninja -DCMAKE_BUILD_TYPE=Release
run_logged "$out/build-logs/release-tool-build.log" cmake --build "$tool_build" -j"$(nproc)" --target vesk-release
tool="$tool_build/vesk-release"
run_logged "$logs/keygen.log" "$tool" keygen --out "$run/keys" --name main-job
release_key="$(tr -d '\r\n' <"$run/keys/main-job.pub.txt")"
[ -n "$release_key" ] || fail "vesk-release keygen wrote no key for the updater"

echo "Building VESK_Updater.exe (trusted-release mode, default server $base_url), the console updater" \
  "simulator and the test CA installer ..."
windows_build="$out/windows"
run_logged "$out/build-logs/windows-configure.log" \
  cmake --preset windows -B "$windows_build" -DVESK_DEFAULT_BASE_URL="$base_url" -DVESK_BUILD_TESTS=ON \
  -DVESK_TRUSTED_PUBLIC_KEY="$release_key"
run_logged "$out/build-logs/windows-build.log" \
  cmake --build "$windows_build" -j"$(nproc)" --target VESK_Updater console_updater_simulator vesk_test_ca_installer
program="$windows_build/bin/VESK_Updater.exe"
simulator="$windows_build/bin/console_updater_simulator.exe"
ca_installer="$windows_build/bin/vesk_test_ca_installer.exe"

# ---------------------------------------------------------------------------------------------------------
# 2. Publish the release, signed with the release key.
cp "$simulator" "$release/Updater.exe"
# What the stand-in console updater prints, and how fast (see tests/programs/simulator/simulator_script.h).
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

# The release is signed with a second key, which the built-in key vouches for in a key-succession statement:
# the program has to follow the statement to trust the release, and learns the second key from it.
run_logged "$logs/keygen-2.log" "$tool" keygen --out "$run/keys" --name main-job-2
run_logged "$logs/succession.log" "$tool" succession --key "$run/keys/main-job.pem" \
  --new-key "$run/keys/main-job-2.pub.txt" --chain "$run/keys/chain.json"
echo "Publishing release $version.$build_number with vesk-release ..."
run_logged "$logs/publish.log" "$tool" publish --from "$release" --version "$version" --build "$build_number" \
  --out "$server" --key "$run/keys/main-job-2.pem" --key-succession "$run/keys/chain.json" \
  --signer "VESK main job"
run_logged "$logs/check-file.log" "$tool" check "$server/manifest.json" --require-signature \
  --trusted-key "$run/keys/main-job.pub.txt"

# The tampered release an intruder would serve: libcurl.dll and the program altered, everything re-published
# under a newer build, so the manifest's sizes and digests match the altered files, and signed with a key of
# the intruder's own.
tampered="$run/tampered"
cp -r "$release" "$tampered/release"
printf 'TAMPERED BY THE MAIN JOB' | dd of="$tampered/release/libcurl.dll" bs=1 seek=4096 conv=notrunc status=none
printf '\na VESK_Updater.exe altered by an intruder (bytes appended by the main job)\n' \
  >>"$tampered/release/VESK_Updater.exe"
run_logged "$logs/keygen-intruder.log" "$tool" keygen --out "$tampered/keys" --name intruder
run_logged "$logs/publish-tampered.log" "$tool" publish --from "$tampered/release" --version "$version" \
  --build "$((build_number + 1))" --out "$tampered/server" --key "$tampered/keys/intruder.pem" --signer "VESK main job"
# The release tool, judging as the program will, has to turn it down too.
if "$tool" check "$tampered/server/manifest.json" --require-signature --trusted-key "$run/keys/main-job.pub.txt" \
  >"$logs/check-tampered.log" 2>&1; then
  fail "vesk-release check accepted the tampered release for the release key (see $logs/check-tampered.log)"
fi

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
# 3 and 5. Trust the test CA, serve the release over TLS and run the program.
echo "Making a test CA and a certificate for localhost (openssl) ..."
certs="$run/certs"
run_logged "$logs/certificates.log" bash tests/https/make_test_certs.sh "$certs"

source scripts/wine-session.sh "$out/wineprefix" "$logs/session"

server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" >/dev/null 2>&1 || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
# Stops what this script started, whatever happened: the TLS server, any VESK process still running from
# the install folder, then Xvfb and the wineserver.
main_job_cleanup() {
  stop_server
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

# The prefix trusts the test CA from here on: the CA installer adds it to the machine root store. Nothing in
# the program's certificate checks is relaxed.
run_logged "$logs/trust-ca.log" "$wine" "$ca_installer" "Z:$(echo "$certs/ca.der" | sed 's#/#\\#g')"

# serve <server tree> <log name>: serves the tree over TLS on localhost:<port> with the localhost certificate,
# and returns once it serves the tree's manifest byte for byte to a client that trusts the test CA only.
serve() {
  local tree="$1" name="$2"
  port_is_free "$port" || fail "port $port on 127.0.0.1 is taken; choose another with VESK_MAIN_JOB_PORT"
  echo "Serving $tree on $base_url (tests/https/tls_test_server.py) ..."
  rm -f "$logs/$name.ready"
  python3 -u tests/https/tls_test_server.py --root "$tree" --listen release "$certs/localhost.pem" \
    "$certs/localhost.key" "$port" --ready-file "$logs/$name.ready" --log "$logs/$name.log" \
    --output "$logs/$name-output.log" >/dev/null 2>&1 &
  server_pid=$!
  local deadline=$((SECONDS + 30))
  until [ -f "$logs/$name.ready" ] && python3 - "$base_url/manifest.json" "$tree/manifest.json" "$certs/ca.pem" \
    >>"$logs/$name-probe.log" 2>&1 <<'PY'; do
import ssl, sys, urllib.request
context = ssl.create_default_context(cafile=sys.argv[3])
served = urllib.request.urlopen(sys.argv[1], timeout=2, context=context).read()
sys.exit(0 if served == open(sys.argv[2], "rb").read() else 1)
PY
    kill -0 "$server_pid" 2>/dev/null || fail "the TLS server ended (see $logs/$name-output.log)"
    [ $SECONDS -lt $deadline ] || fail "the TLS server did not serve the manifest within 30 s (see $logs/$name-output.log)"
    sleep 0.2
  done
}

# The program finds its install directory in the registry of the prefix. The prefix is kept between runs, so
# the release an earlier run accepted is forgotten: each run starts as a machine that never updated.
"$wine" reg add 'HKLM\SOFTWARE\Corvanne\VESK' /v InstallPath /t REG_SZ /d "$install_win" /f \
  >"$logs/reg.log" 2>&1
for value in LastTrustedRelease LastTrustedRelease.stable TrustedKeyChain; do
  "$wine" reg delete 'HKLM\SOFTWARE\VESK\Updater' /v "$value" /f >>"$logs/reg-forget.log" 2>&1 || true
done
# trusted_record <file>: the release the program has recorded as the last one it trusted on the stable channel,
# and the key chain it learnt, as reg shows them.
trusted_record() {
  "$wine" reg query 'HKLM\SOFTWARE\VESK\Updater' /v LastTrustedRelease.stable >"$1" 2>&1 || true
  "$wine" reg query 'HKLM\SOFTWARE\VESK\Updater' /v TrustedKeyChain >>"$1" 2>&1 || true
}

# follow_run <screenshot folder> <program output>: runs the installed program and follows the chain until no
# process of the install folder is left, for at most three minutes. The chain hands over from process to
# process (each starts the next before it ends), so "none left" is only believed after it has held for a full
# second of polls. Screenshots are taken while the window is showing. Sets first_status and timed_out.
follow_run() {
  local shot_dir="$1" output="$2" shot=0 idle_since="" window now first_pid deadline
  "$wine" "$install/VESK_Updater.exe" >"$output" 2>&1 &
  first_pid=$!
  first_status=""
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
      # Bounded: a capture of a window that closes under it can hang import, and while it holds the display
      # the next program cannot make its window.
      timeout -k 1 5 import -window "$window" "$shot_dir/window-$(printf '%02d' $shot).png" 2>/dev/null ||
        shot=$((shot - 1))
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
      echo "main job: the run did not end within three minutes; stopping it." >&2
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
  scan_install_processes
  for pid in $install_pids; do
    kill "$pid" >/dev/null 2>&1 || true
  done
}

serve "$server" https-server
echo "Running $install_win\\VESK_Updater.exe under Wine (display $DISPLAY) ..."
# Requests before this line were the readiness probe's; the program's come after it.
requests_before="$(wc -l <"$logs/https-server.log")"
follow_run "$shots" "$logs/program.log"
update_status="$first_status"
update_timed_out="$timed_out"
stop_server
trusted_record "$logs/record-after-update.txt"

# One screenshot from the middle of the run shows the progress window. Which moment it catches varies from
# run to run, so the committed picture in docs/ is replaced only on request (VESK_MAIN_JOB_DOCS_SCREENSHOT=1):
# an ordinary run leaves the work tree as it found it.
shot_list=("$shots"/window-*.png)
if [ -f "${shot_list[0]}" ]; then
  cp "${shot_list[$((${#shot_list[@]} / 2))]}" "$out/progress-window.png"
  if [ "${VESK_MAIN_JOB_DOCS_SCREENSHOT:-0}" = 1 ]; then
    mkdir -p docs
    cp "$out/progress-window.png" docs/progress-window.png
  fi
fi

# ---------------------------------------------------------------------------------------------------------
# 6. The tampered release: the same program, the same install folder, the same address.
log_lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }
log_before_tampered="$(log_lines "$install/logs/ui_logs.log")"
copy_log_before_tampered="$(log_lines "$install/update/logs/ui_logs.log")"
(cd "$install" && find . -path ./logs -prune -o -path ./update/logs -prune -o -name Updater.exe.record -o \
  -type f -print0 | sort -z | xargs -0 sha256sum) >"$tampered/install-before.sha256"
serve "$tampered/server" tampered-server
tampered_requests_before="$(wc -l <"$logs/tampered-server.log")"
echo "Running the program against the tampered release ..."
follow_run "$tampered/screenshots" "$logs/program-tampered.log"
tampered_status="$first_status"
tampered_timed_out="$timed_out"
stop_server
trusted_record "$logs/record-after-tampered.txt"
(cd "$install" && find . -path ./logs -prune -o -path ./update/logs -prune -o -name Updater.exe.record -o \
  -type f -print0 | sort -z | xargs -0 sha256sum) >"$tampered/install-after.sha256"

# ---------------------------------------------------------------------------------------------------------
# 7. The report, from the logs and files.
python3 scripts/main-job-report.py \
  --install "$install" --server "$server" --version "$version.$build_number" --base-url "$base_url" \
  --https-log "$logs/https-server.log" --https-log-skip "$requests_before" --check-log "$logs/check-file.log" \
  --screenshots "$shots" --first-exit "$update_status" --timed-out "$update_timed_out" \
  --release-key "$run/keys/main-job.pub.txt" --second-key "$run/keys/main-job-2.pub.txt" --ca-log "$logs/trust-ca.log" \
  --log-split "$log_before_tampered" --copy-log-split "$copy_log_before_tampered" \
  --tampered-server "$tampered/server" --tampered-https-log "$logs/tampered-server.log" \
  --tampered-https-log-skip "$tampered_requests_before" --tampered-exit "$tampered_status" \
  --tampered-timed-out "$tampered_timed_out" --tampered-check-log "$logs/check-tampered.log" \
  --install-before "$tampered/install-before.sha256" --install-after "$tampered/install-after.sha256" \
  --record-after-update "$logs/record-after-update.txt" --record-after-tampered "$logs/record-after-tampered.txt"
