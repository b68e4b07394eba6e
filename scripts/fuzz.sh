#!/usr/bin/env bash
# Fuzzes the updater's pure readers natively with clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer.
#   scripts/fuzz.sh [seconds] [target ...]  builds, then runs each target (all by default) for seconds (60)
#   scripts/fuzz.sh replay                  builds, then runs every seed input once; non-zero on a crash
# Seeds: fuzz/corpus/<target>/ (kept in the repository, only read) and large inputs that fuzz/make_seeds.py
# writes afresh into build/fuzz/big-seeds/. Findings go to build/fuzz/crashes/<target>/ (crashes, time-outs,
# memory exhaustion), new interesting inputs to build/fuzz/corpus/<target>/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/fuzz"
bin="$out/cmake/bin"
mkdir -p "$out"

build() {
  local launcher=()
  if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
  if ! { cmake -S "$root/fuzz" -B "$out/cmake" -G Ninja -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" &&
         cmake --build "$out/cmake" -j"$(nproc)"; } >"$out/build.log" 2>&1; then
    tail -n 30 "$out/build.log"
    echo "Fuzz targets: build FAILED (log: $out/build.log)"
    exit 1
  fi
  rm -rf "$out/big-seeds"
  python3 "$root/fuzz/make_seeds.py" big "$out/big-seeds"
}

all_targets=()
for dir in "$root"/fuzz/corpus/*/; do all_targets+=("$(basename "$dir")"); done

replay() {
  local log="$out/replay.log" failed=() inputs=0
  : >"$log"
  for target in "${all_targets[@]}"; do
    local files=("$root/fuzz/corpus/$target"/* "$out/big-seeds/$target"/*)
    inputs=$((inputs + ${#files[@]}))
    # Files rather than folders: libFuzzer runs a named file whole, while inputs read from a folder are
    # cut to its default maximum length (1 MiB). Every reader is linear in its input, so a seed that
    # takes seconds is a fault just like a crash.
    echo "== $target" >>"$log"
    "$bin/fuzz_$target" -timeout="${FUZZ_REPLAY_TIMEOUT:-20}" "${files[@]}" >>"$log" 2>&1 || failed+=("$target")
  done
  if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzz replay: FAILED in ${failed[*]} (log: $log)"
    return 1
  fi
  echo "Fuzz replay: $inputs inputs over ${#all_targets[@]} targets, no crash (log: $log)"
}

if [ "${1:-}" = replay ]; then
  build
  replay
  exit
fi

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
build
found=0
for target in "${targets[@]}"; do
  mkdir -p "$out/corpus/$target" "$out/crashes/$target" "$out/logs"
  log="$out/logs/$target.log"
  : >"$log"
  executions=0
  before=$(find "$out/crashes/$target" -type f | wc -l)
  start=$SECONDS
  # The first half on inputs cut to 64 KiB, where runs are quick and mutations many; the second half at
  # full length, above the sizes where a reader's cost per byte shows. libFuzzer stops at its first
  # finding, so each half starts it again with the time that is left, a few times at most.
  for max_len in 65536 1100000; do
    deadline=$((start + (max_len == 65536 ? seconds / 2 : seconds)))
    for attempt in 1 2 3; do
      left=$((deadline - SECONDS))
      [ "$left" -gt 0 ] || break
      status=0
      offset=$(stat -c %s "$log")
      "$bin/fuzz_$target" "$out/corpus/$target" "$root/fuzz/corpus/$target" "$out/big-seeds/$target" \
        -max_total_time="$left" -max_len="$max_len" -timeout="${FUZZ_TIMEOUT:-25}" -rss_limit_mb=2048 \
        -artifact_prefix="$out/crashes/$target/" -print_final_stats=1 >>"$log" 2>&1 || status=$?
      runs=$(tail -c +$((offset + 1)) "$log" | grep -o 'stat::number_of_executed_units: *[0-9]*' |
             grep -o '[0-9]*$' || echo 0)
      executions=$((executions + runs))
      [ "$status" -ne 0 ] || break
    done
  done
  findings=$(($(find "$out/crashes/$target" -type f | wc -l) - before))
  found=$((found + findings))
  echo "$target: $executions executions in ${seconds} s, new findings: $findings (log: $log)"
done
[ "$found" -eq 0 ] || { echo "Findings are in $out/crashes/"; exit 1; }
