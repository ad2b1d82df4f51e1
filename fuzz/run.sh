#!/usr/bin/env bash
# Fuzzes every target (or those named) for a given time each, with the
# libFuzzer programs of a LOCKSTEP_FUZZ build.
#
#   fuzz/run.sh <build-dir> <seconds> [jobs] [target...]
#
# Each target starts from its seeds (fuzz/corpus/<target>, read only) and
# its working corpus (<build-dir>/fuzz-corpus/<target>, kept between runs).
# A crash, a broken check, a leak or a timeout is saved under
# <build-dir>/findings/<target>/, the log under <build-dir>/fuzz-logs/.
# `jobs` targets run at the same time (default 1). At the end a line per
# target gives its executions, its corpus (inputs kept / their size) and its
# findings; the exit status is 1 when any target has a finding.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?build folder}" && pwd)"
seconds="${2:?seconds per target}"
jobs="${3:-1}"
shift 3 2>/dev/null || shift $#
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$here"/*.cpp; do
    name="$(basename "$source" .cpp)"
    [ "$name" = replay_main ] || targets+=("$name")
  done
fi

run_one() {
  local target="$1"
  local program="$build/fuzz/fuzz_$target"
  local corpus="$build/fuzz-corpus/$target"
  local findings="$build/findings/$target"
  local log="$build/fuzz-logs/$target.log"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  if [ ! -x "$program" ]; then
    echo "$target: $program is missing (build the lockstep_fuzzers target)" >&2
    return 1
  fi
  echo "$target: fuzzing for ${seconds}s (log: $log)"
  # -timeout: one input running for 10 s counts as a finding (a hang).
  # -rss_limit_mb: more memory than that counts as a finding.
  "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" \
    "$corpus" "$here/corpus/$target" >"$log" 2>&1 || true
}
export -f run_one
export build seconds here

printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {}

status=0
printf '\n%-16s %12s %10s %12s  %s\n' target executions "exec/s" corpus findings
for target in "${targets[@]}"; do
  log="$build/fuzz-logs/$target.log"
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" 2>/dev/null | tail -1)"
  speed="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" 2>/dev/null | tail -1)"
  # The inputs libFuzzer kept as covering something new, and their size.
  corpus="$(sed -n 's/^#[0-9]*[[:space:]]*DONE.* corp: \([^ ]*\).*/\1/p' "$log" 2>/dev/null | tail -1)"
  found="$(find "$build/findings/$target" -type f 2>/dev/null | wc -l)"
  [ "$found" -eq 0 ] || status=1
  printf '%-16s %12s %10s %12s  %s\n' "$target" "${runs:-?}" "${speed:-?}" "${corpus:-?}" \
    "$([ "$found" -eq 0 ] && echo none || echo "$found in $build/findings/$target")"
done
exit $status
