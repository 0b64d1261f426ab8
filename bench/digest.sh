#!/usr/bin/env bash
# Module fingerprint throughput against md5sum on the same files, side by
# side in one run, and the peak memory of fingerprinting a 1 GB file.
#   bench/digest.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
tool="$BUILD_DIR/tools/update-release"
[ -x "$tool" ] || { echo "build first: scripts/test.sh (or cmake --build $BUILD_DIR)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

head -c $((256 << 20)) /dev/urandom >"$work/random.bin"
head -c $((256 << 20)) /dev/zero >"$work/zero.bin"
truncate -s 1G "$work/big.bin"

# Best of five wall-clock times of a command, in seconds.
best() {
  local best=999 t
  for _ in 1 2 3 4 5; do
    t=$( { /usr/bin/time -f %e "$@" >/dev/null; } 2>&1 | tail -1)
    best=$(awk -v a="$t" -v b="$best" 'BEGIN { print (a < b) ? a : b }')
  done
  echo "$best"
}

printf '%-10s %12s %12s %12s %12s\n' data digest_s md5sum_s digest_MB/s ratio
for data in random zero; do
  cat "$work/$data.bin" >/dev/null  # both read from the page cache
  d=$(best "$tool" digest "$work/$data.bin")
  m=$(best md5sum "$work/$data.bin")
  awk -v d="$d" -v m="$m" -v n="$data" \
    'BEGIN { printf "%-10s %12.3f %12.3f %12.0f %12.2f\n", n, d, m, 256 / d, m / d }'
done
peak=$( { /usr/bin/time -f %M "$tool" digest "$work/big.bin" >/dev/null; } 2>&1 | tail -1)
echo "peak resident memory digesting 1 GB: $((peak / 1024)) MB (goal: under 64 MB)"
echo "ratio = md5sum time / digest time (goal: at least 0.6)"
