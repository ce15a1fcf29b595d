# shellcheck shell=bash
# Sourced by scripts/test, demo, bench and fuzz: how they configure and build.
# Run from the repository's top folder.

# Parallel jobs for builds and ctest: one per core.
ph_jobs=$(nproc)

# ph_quietly LOG CMD...: runs CMD with its output in LOG; on failure shows the
# end of LOG, so the tool's own message (CMake's, the compiler's) is seen.
ph_quietly() {
  local log=$1; shift
  mkdir -p "$(dirname "$log")"
  local status=0
  "$@" >"$log" 2>&1 || status=$?
  [ "$status" -ne 0 ] || return 0
  echo "!! failed (status $status): $*" >&2
  tail -n 80 "$log" >&2
  echo "!! the whole output: $log" >&2
  return "$status"
}

# ph_configure DIR CMAKE-ARGS...: configures DIR from this tree, with ccache
# as compiler launcher where it is installed. Quiet unless it fails.
ph_configure() {
  local dir=$1; shift
  local args=()
  if command -v ccache >/dev/null; then
    args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  ph_quietly "$dir/configure.log" cmake -S . -B "$dir" "${args[@]}" "$@"
}

# ph_build DIR [CMAKE-BUILD-ARGS...]: builds DIR on every core; the compiler's
# output goes through as it comes.
ph_build() {
  local dir=$1; shift
  cmake --build "$dir" -j"$ph_jobs" "$@"
}
