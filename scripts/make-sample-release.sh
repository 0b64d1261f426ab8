#!/usr/bin/env bash
# Makes the two releases the tests and the demo update between, and publishes
# the newer one with the release tool into the test server's folder.
#   make-sample-release.sh BIN_DIR RELEASE_TOOL OUT_DIR SERVER_WWW [KEY_DIR]
# With KEY_DIR (release.key and other.key of update-release keygen), the newer
# release is also published signed: SERVER_WWW/signed with release.key as
# release 2, SERVER_WWW/signed-other with other.key.
# OUT_DIR/old and OUT_DIR/new are laid out as installed; the product
# executable is the sample product, Fetchkit.dll the real library, each with
# a trailer in the new release so that every module differs.
set -euo pipefail
bin=${1:?} tool=${2:?} out=${3:?} www=${4:?} keys=${5:-}
rm -rf "$out" "$www/release" "$www/signed" "$www/signed-other"
mkdir -p "$out/old" "$out/new" "$www"
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
printf '版本 2.0 更新内容：\n- 更快的下载\n- 修复若干问题\n' | iconv -f UTF-8 -t GBK >"$out/notes.txt"  # the ANSI code page
"$tool" publish "$out/new" "$www/release" --notes "$out/notes.txt" >/dev/null
if [ -n "$keys" ]; then
  "$tool" publish "$out/new" "$www/signed" --notes "$out/notes.txt" --sign "$keys/release.key" --release 2 >/dev/null
  "$tool" verify "$www/signed" "$keys/release.key.pub" >/dev/null
  "$tool" publish "$out/new" "$www/signed-other" --notes "$out/notes.txt" --sign "$keys/other.key" --release 2 >/dev/null
fi
