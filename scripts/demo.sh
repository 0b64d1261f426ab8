#!/usr/bin/env bash
# The main job: a real update end to end on this machine.
#   scripts/demo.sh [--mode 1|2|3] [--auto]
# Publishes a sample release with the release tool into a folder that nginx
# serves on a loopback port, installs the older release into a fresh install
# folder, starts the product, which starts the updater, and takes the update
# through offer, download, success and finish, ending with the product
# restarted on the new modules. With a display (DISPLAY set) the window shows
# there for you to click, unless --auto; without one it runs on Xvfb and
# clicks itself. Screenshots of each presentation go to build/demo/screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=1 auto=0
while [ $# -gt 0 ]; do
  case "$1" in
    --mode) mode=${2:?--mode needs 1, 2 or 3}; shift 2 ;;
    --auto) auto=1; shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "demo: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$mode" in 1|2|3) ;; *) echo "demo: --mode takes 1, 2 or 3" >&2; exit 2 ;; esac

scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build >/dev/null
bin=$PWD/build/win32/bin
demo=$PWD/build/demo
rm -rf "$demo/install" "$demo/www" "$demo/screenshots" "$demo/release"
mkdir -p "$demo/install" "$demo/www" "$demo/screenshots"
chmod 755 "$demo" "$demo/www"

if [ -n "${DISPLAY:-}" ] && [ "$auto" = 0 ]; then
  export WINE_ENV_DISPLAY=$DISPLAY
  drive=watch
else
  unset WINE_ENV_DISPLAY
  drive=auto
fi
cleanup() {
  scripts/nginx-serve.sh stop "$demo/nginx" || true
  scripts/wine-env.sh stop "$demo/wine" >/dev/null 2>&1 || true
}
trap cleanup EXIT

# The release is signed with the release key the build made
# (build/win32/keys/release.key); the updater installed is the one built to
# trust that key, so it checks the signature, every file's SHA-256 and size,
# and the release number before anything is staged. It is published with
# patches from the installed release (--delta-from), so the updater fetches
# only what changed.
keys=$PWD/build/win32/keys
echo "demo: publishing the sample release with update-release, signed with $keys/release.key"
scripts/make-sample-release.sh "$bin" build/tools/update-release "$demo/release" "$demo/www" "$keys"
build/tools/update-release verify "$demo/www/signed-delta" "$keys/release.key.pub" --delta-from "$demo/www/base"
cp "$demo/release/old/"* "$demo/install/"
cp "$bin/keyed/Updater.exe" "$demo/install/"
# The sample release is small: served at full loopback speed, its download
# is over before anyone sees the progress.
NGINX_RATE=${NGINX_RATE:-128k} scripts/nginx-serve.sh start "$demo/nginx" "$demo/www"
base="http://127.0.0.1:$(cat "$demo/nginx/port")/signed-delta/"
echo "demo: nginx serves $base"
scripts/wine-env.sh start "$demo/wine"
winpath() { echo "Z:${1//\//\\}"; }

started=$(date +%s%N)
echo "demo: starting the product (mode $mode), which starts the updater"
scripts/wine-run.sh "$demo/wine" "$demo/install/Velnoria.exe" --update "$mode" --server "$base" --lifetime 900000 \
  </dev/null >/dev/null 2>&1 &
status=0
scripts/wine-run.sh "$demo/wine" "$bin/DemoDriver.exe" "$(winpath "$demo/install")" "$(winpath "$demo/screenshots")" \
  "$mode" "$drive" </dev/null | tr -d '\r' || status=1
elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))

# The report: which modules are now of the new release.
modules=(Velkor.dll Drimsa.dll Tobrin.dll Pravik.exe Mornel.dll Quintar.dll Brellow.dll KelmoTop.dll Lumsk.dll
         Velnoria.exe Fetchkit.dll Wendra.dll Tamrik.dll Corvish.dll Nubrel.exe skve.exe Zibrun.exe)
target="$demo/install"
[ "$mode" = 3 ] && target="$demo/install/UpgradeBackup"
updated=0 bytes=0
for m in "${modules[@]}"; do
  if cmp -s "$target/$m" "$demo/release/new/$m"; then
    updated=$((updated + 1))
    bytes=$((bytes + $(stat -c %s "$target/$m")))
  fi
done
if [ "$mode" = 3 ]; then
  grep -q '^Key=1' "$demo/install/UpgradeBackup/mvt_s.backup" 2>/dev/null || status=1
  restarted="not expected (background mode: marker $( [ $status = 0 ] && echo written || echo missing ))"
else
  starts=$(grep -c '^start' "$demo/install/product.log" 2>/dev/null || true)
  if [ "${starts:-0}" -ge 2 ]; then restarted=yes; else restarted=no; status=1; fi
fi
[ "$updated" = 17 ] || status=1
# What went over the wire: each module's patch or deflated file as the
# support log names it, else the module itself.
fetched=0
for m in "${modules[@]}"; do
  line=$(grep -a "check $m: " "$demo/install/Updater.log" 2>/dev/null | grep -a -E "made from|verified" | tail -1 || true)
  if [[ "$line" =~ made\ from\ .*\ of\ ([0-9]+)\ bytes ]]; then
    fetched=$((fetched + BASH_REMATCH[1]))
  elif [ -f "$target/$m" ]; then
    fetched=$((fetched + $(stat -c %s "$target/$m")))
  fi
done
# Let the restarted product go.
scripts/wine-run.sh "$demo/wine" cmd /c exit 0 >/dev/null 2>&1 || true
wineserver_kill() { WINEPREFIX="$demo/wine/prefix" wineserver -k 2>/dev/null || true; }
wineserver_kill

echo
echo "== update report (mode $mode) =="
echo "modules updated:   $updated of 17"
echo "bytes:             $bytes of new modules; $fetched fetched ($(awk -v f="$fetched" -v b="$bytes" 'BEGIN { if (b > 0) printf "%.1f", 100 * f / b; else print 0 }') %: patches from the installed release)"
echo "time:              $((elapsed_ms / 1000)).$(( (elapsed_ms % 1000) / 100 )) s"
echo "product restarted: $restarted"
echo "screenshots:       $demo/screenshots/ ($(ls "$demo/screenshots" 2>/dev/null | tr '\n' ' '))"
[ "$status" = 0 ] && echo "result:            OK" || echo "result:            FAILED"
exit "$status"
