#!/usr/bin/env bash
# Makes the seed corpus (corpus/<target>/seed-*) from what the tests publish:
# two small releases by the release tool (the second signed, staged, with
# patches, mirrors and notes), its kept release, and one sample of each text
# the updater reads. Run once; the seeds are kept with the corpus.
#   fuzz/make-seeds.sh [update-release, default build/tools/update-release]
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/tools/update-release}")
corpus=$PWD/fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/build1" "$work/build2" "$work/install"
modules="Velkor.dll Drimsa.dll Tobrin.dll Pravik.exe Mornel.dll Quintar.dll Brellow.dll KelmoTop.dll Lumsk.dll
         Saffen.exe Fetchkit.dll Wendra.dll Tamrik.dll Corvish.dll Nubrel.exe skve.exe Zibrun.exe"
i=0
for m in $modules Velnoria.exe; do
  i=$((i + 1))
  # Small files like programs: a repeated body (deflates well), a random tail.
  { python3 -c "print('module $m body line $i\n' * 100, end='')"; head -c 600 /dev/urandom; } >"$work/build1/$m"
  cp "$work/build1/$m" "$work/build2/$m"
done
printf 'new tail' >>"$work/build2/Velkor.dll"
head -c 2000 /dev/urandom >>"$work/build2/Drimsa.dll"
printf '\xb8\xfc\xd0\xc2\xc4\xda\xc8\xdd\r\n1. \xd0\xde\xb8\xb4\r\n' >"$work/notes.txt"
"$tool" keygen "$work/key" >/dev/null
"$tool" publish "$work/build1" "$work/server1" >/dev/null
"$tool" publish "$work/build2" "$work/server2" --notes "$work/notes.txt" --sign "$work/key" --release 7 \
  --expires-days 30 --delta-from "$work/server1" --rollout 20 --mirror https://cdn.example/r/ >/dev/null
"$tool" keep "$work/server2" "$work/key.pub" "$work/install" >/dev/null

seed() {  # seed TARGET NAME < bytes
  mkdir -p "$corpus/$1" && cat >"$corpus/$1/seed-$2"
}
seed manifest unsigned <"$work/server1/ModelMD5.dll"
seed manifest signed-staged <"$work/server2/ModelMD5.dll"
seed kept_release signed <"$work/install/KeptRelease.dat"
seed notes gbk <"$work/notes.txt"
for z in "$work/server2"/*.z; do seed inflate "$(basename "$z")" <"$z"; break; done
patch=$(ls "$work/server2" | grep -i 'velkor.*patch\|\.p[0-9]*$' | head -n1 || true)
[ -n "$patch" ] || patch=$(sed -n 's/^Velkor\.1=\([^ ]*\) .*/\1/p' "$work/server2/ModelMD5.dll" | head -n1)
old=$work/build1/Velkor.dll
{ python3 -c "import struct,sys; sys.stdout.buffer.write(struct.pack('<I', $(stat -c %s "$old")))"
  cat "$old" "$work/server2/$patch"; } | seed patch velkor
printf 'VelnoriaInstallJournal 1\r\nphase swapping\r\nmodule in 1 %s %s 123 Velkor.dll\r\nmodule staged 0 %s - -1 Velnoria.exe\r\nend\r\n' \
  "$(printf 'a%.0s' {1..32})" "$(printf 'b%.0s' {1..64})" "$(printf 'c%.0s' {1..32})" | seed journal two-modules
printf '[SUpgrade]\r\nKey=1\r\nManifest=%s\r\nRelease=7\r\nContent=0a1b2c3d\r\n' "$(printf 'e%.0s' {1..64})" | seed marker signed
printf '[Release]\r\nNumber=7\r\nTrusted=9\r\n' | seed ini release-number
printf '[Probation]\r\nState=failed\r\nContent=0a1b2c3d\r\nRelease=7\r\nExitCode=3221225477\r\nSeconds=2\r\n[Previous]\r\nVelkor.dll=%s\r\nVelnoria.exe=new\r\n' \
  "$(printf 'a%.0s' {1..32})" | seed probation failed
printf '[Reverted]\r\nContent=0a1b2c3d\r\nRelease=-1\r\nExitCode=3\r\nSeconds=1\r\n' | seed probation reverted
printf '\x01\x00\x00\x00\x34\x12\x00\x00http://127.0.0.1:8080/update/\x00' | seed handoff mode1
printf 'v=1&mode=3&outcome=failed&stage=download&code=12002&release=7&content=0a1b2c3d&before=6&stage_pct=20&patch=1,300&deflated=2,4000&whole=0,0&kept=1,500&ms=2345' \
  | seed report_query failed
{ echo '127.0.0.1 - - [09/Dec/2026:14:49:58 +0000] "GET /r/UpdaterReport?v=1&mode=1&outcome=installed&stage=none&code=0&release=7&content=0a1b2c3d&ms=900 HTTP/1.1" 404 35 "-" "WinINet"'
  echo '10.1.2.3 - alice [10/Oct/2000:13:55:36 -0700] "GET /a.gif HTTP/1.0" 200 2326'; } | seed access_log two-lines
printf 'bytes 100-199/1000\0\xce\0\0\0\0\0\0\0\x64\x01\x01' | seed transfer_rules partial
printf '\x02\x01\x05\x00\x00\x00\x00\x00\x00\x00' | seed policy max-release
echo "seeds: $(find "$corpus" -name 'seed-*' | wc -l) in $corpus"
