#!/usr/bin/env bash
# Times vesk-release against plain tools on the same data, side by side in one run: every round runs each
# pair back to back (interleaved), so a busy machine slows both sides alike. Prints one line per pair with
# the smallest and the median ratio over the rounds. The targets: publish within 2.6 times sha256sum over
# the compressible release and within 3 times over the 1,024 small files.
#   VESK_RELEASE_BIN     the tool to time (default: a Release build in build/bench/release-tool)
#   VESK_BENCH_ROUNDS    rounds per pair (default 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
rounds=${VESK_BENCH_ROUNDS:-5}
tool=${VESK_RELEASE_BIN:-}
if [ -z "$tool" ]; then
  cmake -S "$root/tools/vesk-release" -B "$root/build/bench/release-tool" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build/bench/release-tool" -j2 --target vesk-release >/dev/null
  tool="$root/build/bench/release-tool/vesk-release"
fi
# A release without the console updater's core files is refused unless allowed (tools older than that
# refuse the option instead).
allow=()
"$tool" publish --help | grep -q -- --allow-missing-core && allow=(--allow-missing-core)
work=$(mktemp -d "${TMPDIR:-/tmp}/vesk-bench-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Compressible data that behaves like a release: the machine's own shared libraries and programs, cut into
# files. Random data is what already-compressed files look like.
binaries() {
  find /usr/lib/x86_64-linux-gnu /usr/bin -maxdepth 1 -type f -size +64k 2>/dev/null | sort | xargs cat 2>/dev/null
  # Too few on a minimal system: repeat.
  find /usr/lib/x86_64-linux-gnu /usr/bin -maxdepth 1 -type f -size +64k 2>/dev/null | sort | xargs cat 2>/dev/null
}
mib=$((1024 * 1024))
sizes=(40 24 16 16 16 16 16 16 16 16 8 8 8 8 8 8 8 8) # MiB, 256 in all, some files above any chunk size
make_set() { # <folder> <source command>
  mkdir -p "$1"
  local i=0
  { for s in "${sizes[@]}"; do head -c $((s * mib)) >"$1/file$i.bin"; i=$((i + 1)); done; } < <($2)
}
make_set "$work/compressible" binaries
make_set "$work/random" "cat /dev/urandom"
mkdir -p "$work/small"
{ for i in $(seq 1 1024); do head -c $((128 * 1024)) >"$work/small/f$i.bin"; done; } < <(binaries)
for n in 1000 10000; do
  mkdir -p "$work/entries$n"
  for i in $(seq 1 $n); do printf 'file %d of %d\n' "$i" "$n" >"$work/entries$n/entry$i.txt"; done
  "$tool" publish --from "$work/entries$n" --version 1 --build 1 --out "$work/tree$n" "${allow[@]}" >/dev/null
done

now() { echo "${EPOCHREALTIME/./}"; } # microseconds
declare -A times
run_pair() { # <key> <round>
  local key=$1 round=$2 t0 t1 t2
  case $key in
  check)
    t0=$(now); "$tool" check "$work/tree10000/manifest.json" >/dev/null
    t1=$(now); "$tool" check "$work/tree1000/manifest.json" >/dev/null
    t2=$(now) ;;
  *)
    rm -rf "$work/out"
    t0=$(now); "$tool" publish --from "$work/$key" --version 1 --build "$round" --out "$work/out" "${allow[@]}" >/dev/null
    t1=$(now); sha256sum "$work/$key"/* >/dev/null
    t2=$(now) ;;
  esac
  times[$key]+="$((t1 - t0)) $((t2 - t1))"$'\n'
}
for key in compressible random small; do sha256sum "$work/$key"/* >/dev/null; done # warm the cache
for round in $(seq 1 "$rounds"); do
  for key in compressible random small check; do run_pair "$key" "$round"; done
done
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
report() { # <key> <label>
  local lines=${times[$1]} ratios
  ratios=$(printf '%s' "$lines" | awk 'NF == 2 { printf "%.4f\n", $1 / $2 }' | sort -g)
  printf '%s: min %.2f, median %.2f (%d rounds; medians %.3f s / %.3f s)\n' "$2" "$(head -n1 <<<"$ratios")" \
    "$(median <<<"$ratios")" "$rounds" "$(printf '%s' "$lines" | awk 'NF == 2 { print $1 / 1e6 }' | median)" \
    "$(printf '%s' "$lines" | awk 'NF == 2 { print $2 / 1e6 }' | median)"
}
report compressible "publish/sha256sum, 256 MiB compressible"
report random "publish/sha256sum, 256 MiB random"
report small "publish/sha256sum, 1,024 files of 128 KiB"
report check "check 10,000/1,000 entries"
