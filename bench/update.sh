#!/usr/bin/env bash
# The measured goals, side by side in one run, printed as a table. Each
# figure has its yardstick from the same run; loopback and this machine are
# noisy, so both sides are measured RUNS times, alternating, and the table
# gives medians with the spread (lowest-highest) beside them.
#   bench/update.sh [BUILD_DIR] [RUNS]   (default 5)
# Rows: the updater's fingerprint of a 256 MB file (random, zeros) against md5sum; a
# full update of 17 modules (173 MB, 升级 to 完成 shown) from nginx on
# loopback against curl --parallel of the same files, unsigned and (with the
# updater built to trust the build's key) signed; start-up to a visible
# window against a minimal dialog; peak memory during the update against the
# minimal dialog's (Wine's own floor); the window's worst answer time during
# the update; and the update over a slow link (nginx at 1 MB/s a connection)
# against curl over the same link. The transport alone (Fetchkit fetching
# the same files, nothing checked) says what of the update's time is Wine's
# WinINet.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=$(cd "${1:-build}" && pwd)
RUNS=${2:-5}
W=$BUILD_DIR/win32
bin=$W/bin
[ -f "$bin/update_bench.exe" ] || { echo "build first: scripts/test.sh" >&2; exit 1; }
work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as nobody
cleanup() {
  kill "${watch_pid:-}" 2>/dev/null || true
  scripts/nginx-serve.sh stop "$work/nginx" || true
  scripts/nginx-serve.sh stop "$work/nginx-slow" || true
  scripts/wine-env.sh stop "$W/wine" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
winpath() { echo "Z:${1//\//\\}"; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
spread() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo "-" hi }'; }
maximum() { printf '%s\n' "$@" | sort -g | tail -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Releases: the sample's old modules, and a new release of 10 MB a module.
scripts/make-sample-release.sh "$bin" "$BUILD_DIR/tools/update-release" "$work/release" "$work/www" >/dev/null
for f in "$work/release/new/"*; do head -c $((10 << 20)) /dev/urandom >>"$f"; done
rm -rf "$work/www/release"
cp "$work/release/notes.txt" "$work/notes.txt"
"$BUILD_DIR/tools/update-release" publish "$work/release/new" "$work/www/release" --notes "$work/notes.txt" >/dev/null
# The same release signed, for the updater built to trust the build's key.
"$BUILD_DIR/tools/update-release" publish "$work/release/new" "$work/www/signed" --notes "$work/notes.txt" \
  --sign "$W/keys/release.key" --release 1 >/dev/null
scripts/nginx-serve.sh start "$work/nginx" "$work/www"
NGINX_RATE=1m scripts/nginx-serve.sh start "$work/nginx-slow" "$work/www"
base="http://127.0.0.1:$(cat "$work/nginx/port")/release/"
signed_base="http://127.0.0.1:$(cat "$work/nginx/port")/signed/"
slow_base="http://127.0.0.1:$(cat "$work/nginx-slow/port")/release/"
scripts/wine-env.sh start "$W/wine"
# Xvfb has no window manager, and Wine waits up to 2 s for one to take a
# hidden window away (ShowWindow(SW_HIDE), the finish's first step): the
# windows are left unmanaged here, as they would be by any window manager.
scripts/wine-run.sh "$W/wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
total_mb=$(du -cm "$work/release/new/"* | tail -1 | cut -f1)  # the release as installed

# The peak resident memory, as Linux sees it, of the processes whose command
# line matches PATTERN, kept in FILE; runs until it is killed.
watch_peak() {  # PATTERN FILE
  echo 0 >"$2"
  while sleep 0.05; do
    for pid in $(pgrep -f "$1" || true); do
      hwm=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
      [ "${hwm:-0}" -gt "$(cat "$2")" ] && echo "$hwm" >"$2"
    done
  done
}
watch_peak 'install.Updater\.exe' "$work/peak" &
watch_pid=$!

# What the updater fetched for the modules in its last update from LOG (the
# server's access log, combined format): "path bytes" per request, the entry
# points and the report left out. curl fetches exactly these paths, so the
# yardstick does the same work: a folder that also serves every file under a
# name of its content serves twice what an update needs.
fetched_by_updater() {
  awk -v prefix="$2" '$6 == "\"GET" && ($9 == 200 || $9 == 206) && index($7, prefix) == 1 {
    n = substr($7, length(prefix) + 1)
    if (n == "ModelMD5.dll" || n == "ModelMD5.sig" || n == "UpdateContent.dll" || n ~ /^UpdaterReport/) next
    print n, $10
  }' "$1"
}
bytes_of() { awk '{ s += $2 } END { print s + 0 }'; }
curl_args() {  # BASE < "name bytes" lines
  local n _
  while read -r n _; do printf '%s\n' -o "$work/curl/$n" "$1$n"; done
}

# One update from the old release, finish included: prints
# "ms worst_sendmessage_ms finish_worst_ms finish_ms"; what it fetched for
# the modules is left in $work/fetched.
#   update_once BASE [UPDATER]
update_once() {
  : >"$work/nginx/access.log"
  : >"$work/nginx-slow/access.log"
  rm -rf "$work/install"
  mkdir -p "$work/install"
  cp "$work/release/old/"* "${2:-$bin/Updater.exe}" "$work/install/"
  local result ms worst ws fworst fms
  read -r result ms worst ws fworst fms < <(scripts/wine-run.sh "$W/wine" "$bin/update_bench.exe" update \
    "$(winpath "$work/install")" "$1" | tr -d '\r')
  pkill -f 'install.Velnoria\.exe' 2>/dev/null || true  # the relaunched product
  [ "$result" = ok ] || { echo "the update did not succeed" >&2; exit 1; }
  for f in "$work/release/new/"*; do
    n=$(basename "$f")
    cmp -s "$f" "$work/install/$n" || { echo "installed $n differs" >&2; exit 1; }
  done
  local path=${1#http://127.0.0.1:*/}
  cat "$work/nginx/access.log" "$work/nginx-slow/access.log" >"$work/access.log"
  fetched_by_updater "$work/access.log" "/$path" >"$work/fetched"
  echo "$ms $worst $fworst $fms"
}
# curl fetches what the updater fetched; prints "ms bytes".
curl_once() {
  rm -rf "$work/curl"
  mkdir -p "$work/curl"
  local t0 ms
  t0=$(now_ms)
  curl -sS --fail --no-progress-meter --parallel --parallel-immediate --parallel-max 17 "$@"
  ms=$(( $(now_ms) - t0 ))
  echo "$ms $(du -cb "$work/curl/"* | tail -1 | cut -f1)"
}
# The two sides did the same work, or the bench says so and stops.
same_work() {  # updater_bytes curl_bytes what
  [ "$1" = "$2" ] && return
  echo "bench: $3: the updater fetched $1 bytes and curl $2: the yardstick does other work" >&2
  exit 1
}

updates=() curls=() transports=() worsts=() signed_updates=() finish_worsts=() finishes=()
for _ in $(seq "$RUNS"); do
  read -r ms worst fworst fms < <(update_once "$base")
  updates+=("$ms") worsts+=("$worst") finish_worsts+=("$fworst") finishes+=("$fms")
  updater_bytes=$(bytes_of <"$work/fetched") updater_files=$(wc -l <"$work/fetched")
  mapfile -t fast_curl < <(curl_args "$base" <"$work/fetched")
  read -r ms curl_bytes < <(curl_once "${fast_curl[@]}")
  same_work "$updater_bytes" "$curl_bytes" "update of the unsigned release"
  curls+=("$ms")
  # The transport alone: Fetchkit fetching the same files, one thread a file,
  # nothing checked, nothing installed (bench/fetch_bench.cpp).
  rm -rf "$work/transport" && mkdir -p "$work/transport"
  mapfile -t fetched_names < <(awk '{ print $1 }' "$work/fetched")
  transports+=("$(scripts/wine-run.sh "$W/wine" "$bin/fetch_bench.exe" "$base" "$(winpath "$work/transport")" \
    "${fetched_names[@]}" | tr -d '\r')")
  same_work "$(du -cb "$work/transport/"* | tail -1 | cut -f1)" "$curl_bytes" "the transport alone"
  read -r ms worst fworst fms < <(update_once "$signed_base" "$bin/keyed/Updater.exe")
  same_work "$(bytes_of <"$work/fetched")" "$curl_bytes" "update of the signed release"
  signed_updates+=("$ms") worsts+=("$worst") finish_worsts+=("$fworst") finishes+=("$fms")
done
peak_rss_kb=$(cat "$work/peak")
kill "$watch_pid" 2>/dev/null || true

# Wine's own floor for a program of the updater's shape (bench/memory_floor.cpp):
# the same system libraries and 19 idle threads, its peak read the same way.
watch_peak 'memory_floor\.exe' "$work/floor" &
watch_pid=$!
for _ in $(seq "$RUNS"); do scripts/wine-run.sh "$W/wine" "$bin/memory_floor.exe" 3000; done
floor_kb=$(cat "$work/floor")
kill "$watch_pid" 2>/dev/null || true

# The slow link: fewer runs, each lasts about 10 s.
slow_runs=$(( RUNS < 3 ? RUNS : 3 ))
slow_updates=() slow_curls=()
for _ in $(seq "$slow_runs"); do
  read -r ms _ _ _ < <(update_once "$slow_base")
  slow_updates+=("$ms")
  mapfile -t slow_curl < <(curl_args "$slow_base" <"$work/fetched")
  read -r ms bytes < <(curl_once "${slow_curl[@]}")
  same_work "$(bytes_of <"$work/fetched")" "$bytes" "update over the slow link"
  slow_curls+=("$ms")
done

# The fingerprint of one 256 MB file, from the page cache, against md5sum:
# the updater's own code (the Windows build, timed within the program so
# that Wine's start does not count), as it fingerprints an installed module.
head -c $((256 << 20)) /dev/urandom >"$work/random.bin"
head -c $((256 << 20)) /dev/zero >"$work/zeros.bin"
declare -A digest_ms md5_ms expected
for data in random zeros; do
  cat "$work/$data.bin" >/dev/null
  expected[$data]=$("$BUILD_DIR/tools/update-release" digest "$work/$data.bin" | cut -d' ' -f1)
  d=() m=()
  # A run is well under a second: more of them make the median steady.
  for _ in $(seq $((2 * RUNS + 1))); do
    read -r ms fingerprint < <(scripts/wine-run.sh "$W/wine" "$bin/update_bench.exe" digest \
      "$(winpath "$work/$data.bin")" | tr -d '\r')
    # The same work as the release tool's, or the row measures nothing.
    [ "$fingerprint" = "${expected[$data]}" ] || { echo "bench: the updater's fingerprint of $data is wrong" >&2; exit 1; }
    d+=("$ms")
    t0=$(now_ms); md5sum "$work/$data.bin" >/dev/null; m+=($(( $(now_ms) - t0 )))
  done
  digest_ms[$data]="${d[*]}" md5_ms[$data]="${m[*]}"
done
rm -f "$work/random.bin" "$work/zeros.bin"

starts=() minimals=() start_kb=() minimal_kb=()
while read -r u m ukb mkb; do
  starts+=("$u") minimals+=("$m") start_kb+=("$ukb") minimal_kb+=("$mkb")
done < <(scripts/wine-run.sh "$W/wine" "$bin/update_bench.exe" startup \
  "$(winpath "$work/install")\\Updater.exe" "$base" "$bin/minimal_dialog.exe" "$RUNS" | tr -d '\r')

row() {  # measure updater yardstick ratio goal spread
  printf '%-52s %14s %14s %7s  %-16s %s\n' "$@"
}
row measure updater yardstick ratio goal "spread (updater; yardstick)"
for data in random zeros; do
  read -ra d <<<"${digest_ms[$data]}"
  read -ra m <<<"${md5_ms[$data]}"
  dm=$(median "${d[@]}") mm=$(median "${m[@]}")
  row "fingerprint of 256 MB, $data, the updater's (md5sum)" "$dm ms" "$mm ms" "$(ratio "$mm" "$dm")" "at least 1.0" \
    "$(spread "${d[@]}"); $(spread "${m[@]}") ms"
done
um=$(median "${updates[@]}") cm=$(median "${curls[@]}")
row "update of 17 modules, $total_mb MB (curl --parallel)" "$um ms" "$cm ms" "$(ratio "$um" "$cm")" "at most 1.3" \
  "$(spread "${updates[@]}"); $(spread "${curls[@]}") ms"
row "  bytes fetched, each side ($updater_files files)" "$updater_bytes" "$curl_bytes" "" "the same" \
  "by the names the updater fetched"
tm=$(median "${transports[@]}")
row "  the transport alone (Fetchkit, no checks)" "$tm ms" "$cm ms" "$(ratio "$tm" "$cm")" "-" \
  "$(spread "${transports[@]}") ms: WinINet under Wine"
sum=$(median "${signed_updates[@]}")
row "  the same, signed release, keyed updater" "$sum ms" "$cm ms" "$(ratio "$sum" "$cm")" "-" \
  "$(spread "${signed_updates[@]}") ms"
sm=$(median "${starts[@]}") mm=$(median "${minimals[@]}")
row "start-up to visible window (minimal dialog)" "$sm ms" "$mm ms" "$(ratio "$sm" "$mm")" "at most 1.3" \
  "$(spread "${starts[@]}"); $(spread "${minimals[@]}") ms"
fm=$(median "${minimal_kb[@]}")
row "peak resident memory in the update (Wine's floor)" "$((peak_rss_kb / 1024)) MB" "$((floor_kb / 1024)) MB" \
  "$(ratio "$peak_rss_kb" "$floor_kb")" "8 MB above" "above the floor: $(( (peak_rss_kb - floor_kb) / 1024 )) MB"
row "  the minimal dialog's peak, for comparison" "" "$((fm / 1024)) MB" "" "-" ""
row "peak resident memory at start-up (minimal dialog)" "$(( $(median "${start_kb[@]}") / 1024 )) MB" \
  "$((fm / 1024)) MB" "$(ratio "$(median "${start_kb[@]}")" "$fm")" "-" \
  "$(spread "${start_kb[@]}"); $(spread "${minimal_kb[@]}") KB"
row "worst SendMessageTimeout during the update" "$(maximum "${worsts[@]}") ms" "" "" "under 20 ms" \
  "each run: ${worsts[*]} ms"
row "worst SendMessageTimeout during the finish" "$(maximum "${finish_worsts[@]}") ms" "" "" "under 20 ms" \
  "each run: ${finish_worsts[*]} ms"
row "finish: 完成 to the updater's end (1 s of it the timer)" "$(median "${finishes[@]}") ms" "" "" "-" \
  "$(spread "${finishes[@]}") ms"
slm=$(median "${slow_updates[@]}") scm=$(median "${slow_curls[@]}")
row "update over 1 MB/s a connection (curl, same link)" "$slm ms" "$scm ms" "$(ratio "$slm" "$scm")" \
  "at most 1.05" "$(spread "${slow_updates[@]}"); $(spread "${slow_curls[@]}") ms"
# What ships, as built (the goals are the 32-bit product's: build/win32-i686/bin when there).
ship=$BUILD_DIR/win32-i686/bin
[ -f "$ship/Updater.exe" ] || ship=$bin
for program in Updater.exe:1024 Fetchkit.dll:300; do
  name=${program%%:*} goal_kb=${program#*:}
  row "size of $name ($(basename "$(dirname "$ship")"))" "$(( $(stat -c %s "$ship/$name") / 1024 )) KB" "" "" \
    "at most $goal_kb KB" ""
done
echo "medians of $RUNS alternating runs ($((2 * RUNS + 1)) for the fingerprint, $slow_runs on the slow link); updates ${updates[*]} ms, curl ${curls[*]} ms"
