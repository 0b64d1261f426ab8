#!/usr/bin/env bash
# Makes the two releases the tests and the demo update between, and publishes
# the newer one with the release tool into the test server's folder.
#   make-sample-release.sh BIN_DIR RELEASE_TOOL OUT_DIR SERVER_WWW [KEY_DIR]
# With KEY_DIR (release.key and other.key of update-release keygen), the newer
# release is also published signed: SERVER_WWW/signed with release.key as
# release 2, SERVER_WWW/signed-other with other.key.
# OUT_DIR/old, OUT_DIR/new and OUT_DIR/newer (published as SERVER_WWW/newer)
# are laid out as installed; the product
# executable is the sample product, Fetchkit.dll the real library, each with
# a trailer in the new release so that every module differs.
set -euo pipefail
bin=${1:?} tool=${2:?} out=${3:?} www=${4:?} keys=${5:-}
rm -rf "$out" "$www/release" "$www/newer" "$www/signed"*
mkdir -p "$out/old" "$out/new" "$out/newer" "$www"
modules=(Velkor.dll Drimsa.dll Tobrin.dll Pravik.exe Mornel.dll Quintar.dll Brellow.dll KelmoTop.dll
         Lumsk.dll Fetchkit.dll Wendra.dll Tamrik.dll Corvish.dll Nubrel.exe skve.exe Zibrun.exe)
i=0
for m in "${modules[@]}"; do
  i=$((i + 1))
  if [ "$m" = Fetchkit.dll ]; then
    cp "$bin/Fetchkit.dll" "$out/old/$m"
  else
    head -c $((40000 + i * 7919)) /dev/urandom >"$out/old/$m"
  fi
  { cat "$out/old/$m"; printf 'release 2 of %s\n' "$m"; } >"$out/new/$m"
done
cp "$bin/SampleProduct.exe" "$out/old/Velnoria.exe"
{ cat "$bin/SampleProduct.exe"; printf 'release 2\n'; } >"$out/new/Velnoria.exe"
# Releases of the new modules whose product misbehaves at start (the sample
# product reads a "stand-in:" line at the end of its own file), for the
# probation's tests: OUT_DIR/standin-<name>.
for s in "crash:crash" "exit3:exit 3 after 1000" "exit0:exit 0 after 0" "health2s:health after 2000" "nohealth:no health"; do
  rm -rf "$out/standin-${s%%:*}" && cp -r "$out/new" "$out/standin-${s%%:*}"
  printf '\nstand-in: %s\n' "${s#*:}" >>"$out/standin-${s%%:*}/Velnoria.exe"
done
# A third release, after the newer one.
for f in "$out/new/"*; do { cat "$f"; printf 'release 3\n'; } >"$out/newer/$(basename "$f")"; done
printf '版本 2.0 更新内容：\n- 更快的下载\n- 修复若干问题\n' | iconv -f UTF-8 -t GBK >"$out/notes.txt"  # the ANSI code page
"$tool" publish "$out/new" "$www/release" --notes "$out/notes.txt" >/dev/null
"$tool" publish "$out/newer" "$www/newer" --notes "$out/notes.txt" >/dev/null
# The installed release published too, and the newer one with patches from it.
rm -rf "$www/base" "$www/delta"
"$tool" publish "$out/old" "$www/base" >/dev/null
"$tool" publish "$out/new" "$www/delta" --notes "$out/notes.txt" --delta-from "$www/base" >/dev/null
if [ -n "$keys" ]; then
  "$tool" publish "$out/new" "$www/signed" --notes "$out/notes.txt" --sign "$keys/release.key" --release 2 >/dev/null
  "$tool" verify "$www/signed" "$keys/release.key.pub" >/dev/null
  "$tool" publish "$out/new" "$www/signed-other" --notes "$out/notes.txt" --sign "$keys/other.key" --release 2 >/dev/null
  "$tool" publish "$out/new" "$www/signed-delta" --notes "$out/notes.txt" --sign "$keys/release.key" --release 2 \
    --delta-from "$www/base" >/dev/null
  "$tool" verify "$www/signed-delta" "$keys/release.key.pub" --delta-from "$www/base" >/dev/null
  # The same modules over time, signed with release.key: an older number, the
  # same number with other notes (other manifest bytes), one that expired a
  # week ago.
  printf '版本 2.0\n' | iconv -f UTF-8 -t GBK >"$out/notes-other.txt"
  "$tool" publish "$out/new" "$www/signed-older" --notes "$out/notes.txt" --sign "$keys/release.key" --release 1 >/dev/null
  "$tool" publish "$out/new" "$www/signed-same-number" --notes "$out/notes-other.txt" --sign "$keys/release.key" \
    --release 2 >/dev/null
  "$tool" publish "$out/new" "$www/signed-expired" --notes "$out/notes.txt" --sign "$keys/release.key" --release 3 \
    --published-at $(( $(date +%s) - 9 * 86400 )) --expires-days 2 >/dev/null
  # The updater renews itself, and the release key is rotated: release 3
  # carries an updater that trusts both keys; release 4, signed with the
  # other key alone, carries one that trusts only the other key; release 5
  # is signed with the first key again.
  if [ -f "$bin/keyed-both/Updater.exe" ] && [ -f "$bin/keyed-other/Updater.exe" ]; then
    rm -rf "$out/rotate1" "$out/rotate2" "$www/rotate1" "$www/rotate2" "$www/rotate3" "$www/release-updater"
    cp -r "$out/new" "$out/rotate1" && cp "$bin/keyed-both/Updater.exe" "$out/rotate1/"
    cp -r "$out/newer" "$out/rotate2" && cp "$bin/keyed-other/Updater.exe" "$out/rotate2/"
    "$tool" publish "$out/rotate1" "$www/rotate1" --notes "$out/notes.txt" --sign "$keys/release.key" --release 3 >/dev/null
    "$tool" verify "$www/rotate1" "$keys/release.key.pub" >/dev/null
    "$tool" publish "$out/rotate2" "$www/rotate2" --notes "$out/notes.txt" --sign "$keys/other.key" --release 4 >/dev/null
    "$tool" publish "$out/newer" "$www/rotate3" --notes "$out/notes.txt" --sign "$keys/release.key" --release 5 >/dev/null
    # Unsigned, with an updater: taken by an updater without keys.
    "$tool" publish "$out/rotate1" "$www/release-updater" --notes "$out/notes.txt" >/dev/null
  fi
fi
