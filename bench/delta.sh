#!/usr/bin/env bash
# Patches on real PE pairs: our patch against bsdiff, xdelta3 -9 and
# zstd -19 --patch-from (Debian's), the time to make and to apply ours, its
# peak memory, and the bytes over the wire for a whole update from the
# earlier release against today's whole download.
#   bench/delta.sh [BUILD_DIR] [EARLIER_COMMIT]   (default: 7 commits before HEAD)
# Pairs: this project's own programs (Updater.exe, Fetchkit.dll,
# engine_tests.exe; i686) built at EARLIER_COMMIT in a temporary worktree
# against BUILD_DIR's, and esbuild.exe for 32-bit Windows at two versions
# from the npm registry.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=$(cd "${1:-build}" && pwd)
EARLIER=${2:-HEAD~7}
tool=$BUILD_DIR/tools/update-release
[ -x "$tool" ] || { echo "build first: scripts/test.sh" >&2; exit 1; }
need=()
for p in bsdiff xdelta3 zstd time; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
work=$(mktemp -d)
cleanup() {
  git worktree remove --force "$work/earlier" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The earlier build of this project's programs (i686, as shipped).
newer=$BUILD_DIR/win32-i686/bin
[ -f "$newer/Updater.exe" ] || newer=$BUILD_DIR/win32/bin
echo "bench: building the programs at $EARLIER ($(git rev-parse --short "$EARLIER")) ..." >&2
git worktree add --detach -q "$work/earlier" "$EARLIER"
cmake -S "$work/earlier" -B "$work/earlier-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$work/earlier/cmake/mingw-i686.cmake" -DHOST_TOOLS_DIR="$BUILD_DIR/tools" >/dev/null
cmake --build "$work/earlier-build" --target Updater Fetchkit engine_tests >/dev/null
older=$work/earlier-build/bin

# esbuild for Windows (ia32), two versions, from the npm registry.
mkdir -p "$work/npm"
(cd "$work/npm" && npm pack --silent @esbuild/win32-ia32@0.28.1 @esbuild/win32-ia32@0.28.2 >/dev/null 2>&1) || true
for v in 0.28.1 0.28.2; do
  f=$work/npm/esbuild-win32-ia32-$v.tgz
  [ -f "$f" ] && mkdir -p "$work/npm/$v" && tar xzf "$f" -C "$work/npm/$v"
done

timed() {  # seconds and peak KB of a command: "S KB"
  /usr/bin/time -f "%e %M" "$@" 2>&1 >/dev/null | tail -1
}
size() { stat -c %s "$1"; }
printf '%-18s %10s %10s %10s %10s %7s %10s %10s %7s %7s %7s\n' file whole gzip-9 ours bsdiff ours/bs xdelta3 zstd make_s apply_s peak_MB
wire_whole=0 wire_ours=0
pair() {  # NAME OLD NEW
  local name=$1 old=$2 new=$3 d=$work/p
  mkdir -p "$d"
  read -r make_s peak < <(timed "$tool" diff "$old" "$new" "$d/ours")
  read -r apply_s _ < <(timed "$tool" patch "$old" "$d/ours" "$d/out")
  cmp -s "$d/out" "$new" || { echo "bench: $name: the patch does not give the new file" >&2; exit 1; }
  bsdiff "$old" "$new" "$d/bsdiff"
  xdelta3 -9 -e -f -s "$old" "$new" "$d/xdelta3"
  zstd -q -19 --long=27 -f --patch-from="$old" "$new" -o "$d/zstd" 2>/dev/null
  local whole=$(size "$new") gz=$(gzip -9c "$new" | wc -c) ours=$(size "$d/ours") bs=$(size "$d/bsdiff")
  printf '%-18s %10d %10d %10d %10d %7.2f %10d %10d %7.2f %7.2f %7d\n' "$name" "$whole" "$gz" "$ours" "$bs" \
    "$(awk -v a="$ours" -v b="$bs" 'BEGIN { print a / b }')" "$(size "$d/xdelta3")" "$(size "$d/zstd")" "$make_s" "$apply_s" \
    $((peak / 1024))
}
for f in Updater.exe Fetchkit.dll engine_tests.exe; do
  pair "$f" "$older/$f" "$newer/$f"
  wire_whole=$((wire_whole + $(size "$newer/$f")))
  wire_ours=$((wire_ours + $(size "$work/p/ours")))
done
[ -f "$work/npm/0.28.1/package/esbuild.exe" ] && pair "esbuild.exe" "$work/npm/0.28.1/package/esbuild.exe" "$work/npm/0.28.2/package/esbuild.exe"

# A whole update from the earlier release: the sample release's 17 modules
# (as the tests and the demo publish them) and this project's programs.
scripts/make-sample-release.sh "$newer" "$tool" "$work/release" "$work/www" >/dev/null
sample_whole=$(du -cb "$work/www/release/"*.dll "$work/www/release/"*.exe | tail -1 | cut -f1)
sample_patches=$(du -cb "$work/www/delta/"*.patch | tail -1 | cut -f1)
echo
echo "a whole update from the earlier release (bytes over the wire):"
printf '  %-40s %10d of %10d (%.1f %%)\n' "the sample release, 17 modules" "$sample_patches" "$sample_whole" \
  "$(awk -v a="$sample_patches" -v b="$sample_whole" 'BEGIN { print 100 * a / b }')"
printf '  %-40s %10d of %10d (%.1f %%)\n' "this project's programs, $EARLIER to now" "$wire_ours" "$wire_whole" \
  "$(awk -v a="$wire_ours" -v b="$wire_whole" 'BEGIN { print 100 * a / b }')"
echo "apply goal: no longer than the download over 10 MB/s (1 MB in 0.1 s): see apply_s against whole"
