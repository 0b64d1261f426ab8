#!/usr/bin/env bash
# The measured goals, side by side in one run, printed as a table:
# a full update of 17 modules (170 MB) from nginx on loopback against curl
# --parallel, the fingerprint of the catalogue against md5sum, start-up
# against a minimal dialog, peak memory and the window's responsiveness.
#   bench/update.sh [BUILD_DIR] [RUNS]   (RUNS: updates and curl runs, default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=$(cd "${1:-build}" && pwd)
RUNS=${2:-3}
W=$BUILD_DIR/win32
bin=$W/bin
[ -f "$bin/update_bench.exe" ] || { echo "build first: scripts/test.sh" >&2; exit 1; }
work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as nobody
cleanup() {
  kill "${watch_pid:-}" 2>/dev/null || true
  scripts/nginx-serve.sh stop "$work/nginx" || true
  scripts/wine-env.sh stop "$W/wine" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
winpath() { echo "Z:${1//\//\\}"; }

# Releases: the sample's old modules, and a new release of 10 MB a module.
scripts/make-sample-release.sh "$bin" "$BUILD_DIR/tools/update-release" "$work/release" "$work/www" >/dev/null
for f in "$work/release/new/"*; do head -c $((10 << 20)) /dev/urandom >>"$f"; done
rm -rf "$work/www/release"
cp "$work/release/notes.txt" "$work/notes.txt"
"$BUILD_DIR/tools/update-release" publish "$work/release/new" "$work/www/release" --notes "$work/notes.txt" >/dev/null
scripts/nginx-serve.sh start "$work/nginx" "$work/www"
base="http://127.0.0.1:$(cat "$work/nginx/port")/release/"
scripts/wine-env.sh start "$W/wine"
total_mb=$(du -cm "$work/www/release/"*.dll "$work/www/release/"*.exe | tail -1 | cut -f1)

# Peak resident memory of the updater's process, as Linux sees it.
peak_file=$work/peak
echo 0 >"$peak_file"
(
  while sleep 0.1; do
    for pid in $(pgrep -f 'install.Updater\.exe' || true); do
      hwm=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
      [ "${hwm:-0}" -gt "$(cat "$peak_file")" ] && echo "$hwm" >"$peak_file"
    done
  done
) &
watch_pid=$!

curl_args=()
for f in "$work/www/release/"*.dll "$work/www/release/"*.exe; do
  n=$(basename "$f")
  [ "$n" = ModelMD5.dll ] || [ "$n" = UpdateContent.dll ] && continue
  curl_args+=(-o "$work/curl/$n" "$base$n")
done

# Loopback transfers vary from run to run by a factor of two: each side is
# measured several times, alternating, and the medians are compared.
updates=() curls=() worsts=() worst_ms=0 peak_ws_kb=0
for run in $(seq "$RUNS"); do
  rm -rf "$work/install" "$work/curl"
  mkdir -p "$work/install" "$work/curl"
  cp "$work/release/old/"* "$bin/Updater.exe" "$work/install/"
  read -r result update_ms worst ws < <(scripts/wine-run.sh "$W/wine" "$bin/update_bench.exe" update \
    "$(winpath "$work/install")" "$base" | tr -d '\r')
  [ "$result" = ok ] || { echo "the update did not succeed (run $run)" >&2; exit 1; }
  for f in "$work/install/UpgradeBackup_P/"*.tmp; do
    n=$(basename "$f" .tmp)
    cmp -s "$f" "$work/release/new/$n" || { echo "staged $n differs" >&2; exit 1; }
  done
  t0=$(date +%s%N)
  curl -sS --fail --no-progress-meter --parallel --parallel-max 17 "${curl_args[@]}"
  curls+=($(( ($(date +%s%N) - t0) / 1000000 )))
  updates+=("$update_ms")
  worsts+=("$worst")
  worst_ms=$(awk -v a="$worst_ms" -v b="$worst" 'BEGIN { print (b + 0 > a + 0) ? b : a }')
  [ "$ws" -gt "$peak_ws_kb" ] && peak_ws_kb=$ws
done
kill "$watch_pid" 2>/dev/null || true
peak_rss_kb=$(cat "$peak_file")
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
update_ms=$(median "${updates[@]}")
curl_ms=$(median "${curls[@]}")

catalogue=("$work/release/new/"*)
cat "${catalogue[@]}" >/dev/null
t0=$(date +%s%N); "$BUILD_DIR/tools/update-release" digest "${catalogue[@]}" >/dev/null; digest_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
t0=$(date +%s%N); md5sum "${catalogue[@]}" >/dev/null; md5_ms=$(( ($(date +%s%N) - t0) / 1000000 ))

read -r start_updater start_minimal < <(scripts/wine-run.sh "$W/wine" "$bin/update_bench.exe" startup \
  "$(winpath "$work/install")\\Updater.exe" "$base" "$bin/minimal_dialog.exe" 5 | tr -d '\r')

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
printf '%-44s %12s %12s %8s  %s\n' measure updater yardstick ratio goal
printf '%-44s %10s ms %10s ms %8s  %s\n' "update of 17 modules, ${total_mb} MB (curl --parallel)*" "$update_ms" "$curl_ms" \
  "$(ratio "$update_ms" "$curl_ms")" "at most 2.00"
printf '%-44s %10s ms %10s ms %8s  %s\n' "fingerprint of the catalogue (md5sum)" "$digest_ms" "$md5_ms" \
  "$(ratio "$digest_ms" "$md5_ms")" "-"
printf '%-44s %10s ms %10s ms %8s  %s\n' "start-up to visible window (minimal dialog)" "$start_updater" "$start_minimal" \
  "$(ratio "$start_updater" "$start_minimal")" "-"
printf '%-44s %10s MB %12s %8s  %s\n' "peak resident memory (Linux VmHWM)" "$((peak_rss_kb / 1024))" "" "" "under 64 MB"
printf '%-44s %10s MB %12s %8s  %s\n' "peak working set (Windows view)" "$((peak_ws_kb / 1024))" "" "" "under 64 MB"
printf '%-44s %10s ms %12s %8s  %s\n' "worst SendMessageTimeout during the update" "$worst_ms" "" "" "under 50 ms"
echo "* median of $RUNS runs each; updates ${updates[*]} ms, curl ${curls[*]} ms, worst SendMessageTimeout ${worsts[*]} ms"
