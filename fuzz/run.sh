#!/usr/bin/env bash
# Builds and runs the fuzz targets.
#   fuzz/run.sh build                 configure and build every target whose codec modules exist
#   fuzz/run.sh smoke [seconds]       regressions, then each target for a few seconds (default 5)
#   fuzz/run.sh long [seconds] [t..]  each target (or the named ones) in turn, niced, default 600 s
# New inputs go to build/fuzz/corpus/<target> (the seed corpus in fuzz/corpus is only read); crash
# inputs to build/fuzz/artifacts/<target>/; the log of each run to build/fuzz/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD="${FUZZ_BUILD:-build/fuzz}"
CMAKE="${CMAKE:-.venv/bin/cmake}"
FUZZ_CXX="${FUZZ_CXX:-clang++-16}"

# Builds the named targets, or all of them.
build() {
  "$CMAKE" -S fuzz -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$FUZZ_CXX" >/dev/null
  if [ $# -gt 0 ]; then "$CMAKE" --build "$BUILD" -j2 --target "$@"; else "$CMAKE" --build "$BUILD" -j2; fi
}

dict_of() {
  case "$1" in
    fuzz_json | fuzz_property | fuzz_service | fuzz_event) echo "-dict=fuzz/dict/json.dict" ;;
    fuzz_table) echo "-dict=fuzz/dict/table.dict" ;;
  esac
}

# Runs the saved regression inputs of a target once each; they must all pass.
regressions() {
  local t="$1" dir="fuzz/regressions/${1#fuzz_}"
  [ -d "$dir" ] || return 0
  local files=("$dir"/*)
  [ -e "${files[0]}" ] || return 0
  "$BUILD/$t" "${files[@]}" >"$BUILD/logs/$t.regressions.log" 2>&1 || {
    tail -30 "$BUILD/logs/$t.regressions.log" >&2
    echo "fuzz: $t fails a saved regression input (see $BUILD/logs/$t.regressions.log)" >&2
    return 1
  }
  echo "fuzz: $t: ${#files[@]} regression inputs pass"
}

run_one() {
  local t="$1" secs="$2" nice_level="$3"
  mkdir -p "$BUILD/corpus/$t" "$BUILD/artifacts/$t" "$BUILD/logs"
  regressions "$t"
  local seeds="fuzz/corpus/${t#fuzz_}"
  [ -d "$seeds" ] || seeds=""
  # A single allocation above 64 MiB or a process above 1 GiB is a finding: inputs are at most 16 KiB.
  # shellcheck disable=SC2046
  if ! ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0" UBSAN_OPTIONS="print_stacktrace=1" \
    nice -n "$nice_level" "$BUILD/$t" -max_total_time="$secs" -max_len=16384 -len_control=200 -timeout=10 \
    -rss_limit_mb=1024 -malloc_limit_mb=64 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t/" \
    $(dict_of "$t") "$BUILD/corpus/$t" $seeds >"$BUILD/logs/$t.log" 2>&1; then
    tail -60 "$BUILD/logs/$t.log" >&2
    echo "fuzz: $t found a failure; input saved in $BUILD/artifacts/$t/" >&2
    return 1
  fi
  local execs cov
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$BUILD/logs/$t.log" | grep -o '[0-9]*$' || true)
  cov=$(grep -oE '(cov|ft): [0-9]+' "$BUILD/logs/$t.log" | tail -2 | paste -sd' ' || true)
  echo "fuzz: $t: ${execs:-?} executions in ${secs}s, $cov, corpus $(ls "$BUILD/corpus/$t" | wc -l) files"
}

cmd="${1:-smoke}"
shift || true
case "$cmd" in
  build) build ;;
  smoke | long)
    if [ "$cmd" = smoke ]; then secs="${1:-5}"; nice_level=0; else secs="${1:-600}"; nice_level=10; fi
    shift || true
    build "$@"
    targets=("$@")
    if [ ${#targets[@]} -eq 0 ]; then mapfile -t targets <"$BUILD/targets.txt"; fi
    status=0
    for t in "${targets[@]}"; do
      if [ ! -x "$BUILD/$t" ]; then echo "fuzz: $t was not built" >&2; status=1; continue; fi
      run_one "$t" "$secs" "$nice_level" || status=1
    done
    exit "$status"
    ;;
  *) echo "usage: fuzz/run.sh build | smoke [seconds] | long [seconds] [targets...]" >&2; exit 2 ;;
esac
