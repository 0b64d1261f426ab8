#!/usr/bin/env bash
# The test command: installs what is missing, builds the native and the
# Windows configurations, and runs the whole suite with ctest.
#   scripts/test.sh [extra ctest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
BUILD_DIR=${BUILD_DIR:-build}
started=$(date +%s)
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR"
built=$(date +%s)
status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 "$@" | tee "$BUILD_DIR/ctest-output.log" || status=$?
echo "test.sh: build $((built - started)) s, tests $(($(date +%s) - built)) s"
# ctest's "N% tests passed, F tests failed out of T" as a plain closing line.
summary=$(sed -n -E 's/.* ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/p' "$BUILD_DIR/ctest-output.log" | tail -n1)
[ -n "$summary" ] && set -- $summary && echo "tests: $(($2 - $1)) passed, $1 failed" >"$BUILD_DIR/ctest-summary.txt" \
  && cat "$BUILD_DIR/ctest-summary.txt"
exit "$status"
