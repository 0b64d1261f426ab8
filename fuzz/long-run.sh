#!/usr/bin/env bash
# Fuzzes every target longer than the tests do, before a release:
#   fuzz/long-run.sh [SECONDS per target, default 600] [JOBS, default 2] [BUILD_DIR, default build]
# Builds the fuzz configuration when needed, runs the targets JOBS at a time
# and prints one line per target (runs, coverage, findings).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
jobs=${2:-2}
build=${3:-build}
cmake --build "$build" --target fuzz >/dev/null
summary=$build/fuzz/long-run.txt
: >"$summary"
run_one() {
  local exe=$1 name
  name=$(basename "$exe" _fuzz)
  fuzz/run.sh --target "$exe" --corpus fuzz/corpus/"$name" --seconds "$2" \
    --max-len "$(sed -n "s/^updater_fuzz_target($name \([0-9]*\).*/\1/p" fuzz/CMakeLists.txt)" \
    --work "$3/fuzz/long/$name" | tail -n1
}
export -f run_one
status=0
targets=$(ls "$build"/fuzz/fuzz/*_fuzz)
echo "$targets" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$build" | tee "$summary" || status=$?
echo "long-run: $(grep -c '0 findings' "$summary") of $(echo "$targets" | wc -l) targets without findings ($summary)"
echo "keep what they found: each target's -merge=1 fuzz/corpus/<target> $build/fuzz/long/<target>/new"
exit "$status"
