#!/usr/bin/env bash
# Parsing a hostile manifest: 1 MiB (the most a server may send) of 200 000
# distinct keys, in the signed section (whose repeated keys are looked for),
# in the sections of names and mirrors, and as that many sections. Each must
# parse in well under a second (the bound below); the release tool's
# `rollout --status` parses the manifest as the updater does.
#   bench/manifest.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
tool="$BUILD_DIR/tools/update-release"
[ -x "$tool" ] || { echo "build first: scripts/test.sh (or cmake --build $BUILD_DIR)" >&2; exit 1; }
bound_ms=${MANIFEST_BOUND_MS:-1000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
printf '%-16s %10s %8s %8s\n' shape bytes keys ms
for shape in signed files patches sections; do
  mkdir -p "$work/$shape"
  python3 - "$shape" >"$work/$shape/ModelMD5.dll" <<'PY'
import sys
shape = sys.argv[1]
# 65 symbols a profile key may start and hold, none of which fold into another.
symbols = [chr(c) for c in range(0x21, 0x7F) if chr(c) not in "=;[]" and not chr(c).isupper()]
keys = (a + b + c for a in symbols for b in symbols for c in symbols)
head = {"signed": "[SignedRelease]\n", "files": "[Files]\n", "patches": "[Patches]\n", "sections": ""}[shape]
out = [head]
for _, key in zip(range(200000), keys):
    out.append("[%s]\n" % key[:2] if shape == "sections" and len(out) % 2 else "%s=\n" % key)
text = "".join(out)[: 1 << 20]
sys.stdout.write(text)
PY
  bytes=$(stat -c %s "$work/$shape/ModelMD5.dll")
  keys=$(grep -c '' "$work/$shape/ModelMD5.dll")
  start=$(date +%s%N)
  "$tool" rollout "$work/$shape" --status >/dev/null
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  printf '%-16s %10d %8d %8d\n' "$shape" "$bytes" "$keys" "$ms"
  if [ "$ms" -gt "$bound_ms" ]; then
    echo "bench/manifest.sh: $shape took $ms ms, over the bound of $bound_ms ms" >&2
    status=1
  fi
done
exit $status
