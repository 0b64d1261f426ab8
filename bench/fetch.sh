#!/usr/bin/env bash
# 17 files of 10 MB fetched in parallel from nginx on loopback: Fetchkit (one
# instance and thread per file, under Wine) against curl --parallel, in the
# same run, from the same server.
#   bench/fetch.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=$(cd "${1:-build}" && pwd)
W=$BUILD_DIR/win32
[ -f "$W/bin/fetch_bench.exe" ] || { echo "build first: scripts/test.sh" >&2; exit 1; }
work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as nobody
cleanup() {
  scripts/nginx-serve.sh stop "$work/nginx" || true
  scripts/wine-env.sh stop "$W/wine" || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www" "$work/curl" "$work/fetchkit"
names=()
for i in $(seq 1 17); do
  head -c $((10 << 20)) /dev/urandom >"$work/www/module$i.bin"
  names+=("module$i.bin")
done
scripts/nginx-serve.sh start "$work/nginx" "$work/www"
base="http://127.0.0.1:$(cat "$work/nginx/port")/"
scripts/wine-env.sh start "$W/wine"
winpath() { echo "Z:${1//\//\\}"; }

runs=3
best_fk=999999 best_curl=999999
for _ in $(seq 1 $runs); do
  rm -f "$work/fetchkit"/* "$work/curl"/*
  fk=$(scripts/wine-run.sh "$W/wine" "$W/bin/fetch_bench.exe" "$base" "$(winpath "$work/fetchkit")" "${names[@]}" | tr -d '\r')
  args=()
  for n in "${names[@]}"; do args+=(-o "$work/curl/$n" "$base$n"); done
  t0=$(date +%s%N)
  curl -sS --fail --no-progress-meter --parallel --parallel-max 17 "${args[@]}"
  curl_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  [ "$fk" -lt "$best_fk" ] && best_fk=$fk
  [ "$curl_ms" -lt "$best_curl" ] && best_curl=$curl_ms
done
for n in "${names[@]}"; do
  cmp -s "$work/www/$n" "$work/fetchkit/$n" || { echo "fetchkit copy of $n differs" >&2; exit 1; }
done
printf '%-28s %10s\n' "17 x 10 MB, best of $runs" "ms"
printf '%-28s %10d\n' "Fetchkit (Wine)" "$best_fk"
printf '%-28s %10d\n' "curl --parallel" "$best_curl"
awk -v f="$best_fk" -v c="$best_curl" 'BEGIN { printf "%-28s %10.2f  (goal: at most 2.00)\n", "ratio Fetchkit / curl", f / c }'
