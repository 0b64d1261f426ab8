#!/usr/bin/env bash
# Runs one fuzz target for a bounded time from its kept corpus (read, never
# written: new inputs go to the work folder) and fails on any finding.
#   run.sh --target EXE --corpus DIR --seconds S --max-len BYTES --work DIR
# Every input is bounded to 5 s (libFuzzer's -timeout) and the process to
# 2 GB; a crash, a leak, undefined behaviour, a failed check or a slow input
# is a finding, kept in the work folder's artifacts/ to be added to the
# corpus as a regression case.
set -euo pipefail
while [ $# -gt 0 ]; do
  case "$1" in
    --target) target=$2 ;; --corpus) corpus=$2 ;; --seconds) seconds=$2 ;;
    --max-len) max_len=$2 ;; --work) work=$2 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
name=$(basename "$corpus")
rm -rf "$work" && mkdir -p "$work/new" "$work/artifacts"
status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$target" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -max_len="$max_len" \
  -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/new" "$corpus" >"$work/log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n1)
cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$work/log" | tail -n1 || true)
kept=$(find "$corpus" -type f | wc -l)
if [ "$status" -ne 0 ]; then
  tail -n 40 "$work/log"
  echo "fuzz $name: FINDING after ${runs:-?} runs; the input is in $work/artifacts/:"
  ls -l "$work/artifacts/"
  echo "mend it, and keep the input as $corpus/regression-<what it found>"
  exit 1
fi
echo "fuzz $name: ${runs:-0} runs in $seconds s, ${cov:-cov: ?}, $kept kept inputs + $(find "$work/new" -type f | wc -l) new, 0 findings"
