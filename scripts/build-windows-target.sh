# Sourced by the benchmarks and the soak run: configures a Windows build tree once (with ccache when the
# machine has it) and builds one target in it, the output in the given log folder.
# Usage: vesk_build_windows_target <build tree> <log folder> <target> [extra configure arguments...]
vesk_build_windows_target() {
  local build="$1" logs="$2" target="$3"
  shift 3
  local launcher=()
  if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset windows-test -B "$build" "$@" "${launcher[@]}" >"$logs/configure.log" 2>&1 ||
      { tail -n 40 "$logs/configure.log" >&2; return 1; }
  fi
  cmake --build "$build" -j2 --target "$target" >"$logs/build.log" 2>&1 ||
    { tail -n 40 "$logs/build.log" >&2; return 1; }
}
