# shellcheck shell=bash
# Sourced by every script here: how they configure and build, their help
# text, the sanitizer settings. Configure and build run from the repository's
# top folder.

# Parallel jobs for builds and ctest: one per core.
ph_jobs=$(nproc)

# ccache keys its entries by the compile line, absolute paths included; with
# paths taken relative to the top folder (and the working folder out of the
# key), a clone in another folder, CI's among them, reuses what an earlier
# build of the same sources cached.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}

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

# ph_help SCRIPT: prints SCRIPT's help, the comment block under its first
# line, as far as it goes: a longer header needs no line numbers changed.
ph_help() {
  awk 'NR == 1 { next } /^#/ { sub(/^# ?/, ""); print; next } { exit }' "$1"
}

# ph_sanitizer_options: the settings of every ASan/UBSan run (tests, fuzz
# targets): a leak, an error or undefined behaviour stops the program with a
# report and a stack trace. A caller's own settings win.
ph_sanitizer_options() {
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
}
