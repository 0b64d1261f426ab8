#!/usr/bin/env bash
# `update-release report` over 10 million synthetic access-log lines: the
# time and the peak memory (the report's bound: counts only, so the memory
# stays flat however long the logs are).
#   bench/report.sh [BUILD_DIR] [MILLIONS]   (default: build, 10)
# The lines: a million made once (file requests, outcome reports of every
# kind for 200 releases over 60 days, a twentieth malformed), repeated;
# a fifth of the files gzip-compressed, as rotated logs are.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=$(cd "${1:-build}" && pwd)
millions=${2:-10}
tool=$BUILD_DIR/tools/update-release
[ -x "$tool" ] || { echo "build first: scripts/test.sh" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work/block.log" <<'PY'
import random, sys, time
random.seed(20261209)
ends = ["installed", "preloaded", "current", "heldback", "refused", "failed", "declined", "cancelled", "policy", "busy"]
stages = ["none", "manifest", "trust", "download", "verify", "space", "install"]
files = ["/v/Velkor.dll", "/v/ModelMD5.dll", "/v/ModelMD5.sig", "/v/UpdateContent.dll", "/v/Tobrin.0123456789abcdef.dll.z"]
start = 1796000000
with open(sys.argv[1], "w") as out:
    for i in range(1000000):
        t = time.strftime("%d/%b/%Y:%H:%M:%S +0000", time.gmtime(start + random.randrange(60 * 86400)))
        r = random.random()
        if r < 0.05:
            out.write("malformed line %d without a time or a request\n" % i)
            continue
        if r < 0.75:
            target, status, size = random.choice(files), 200, random.randrange(1, 3000000)
        else:
            stage = random.choice(stages)
            q = "v=1&mode=%d&outcome=%s&stage=%s&code=%d&release=%d&content=%08x&bucket=%d&whole=%d&wholebytes=%d&ms=%d" % (
                random.randint(1, 3), random.choice(ends), stage, 0 if stage == "none" else random.choice([1404, 1503, 5, 6, 900, 19]),
                random.randrange(200), random.randrange(200), random.randrange(100), random.randint(1, 17),
                random.randrange(50000000), random.randrange(600000))
            target, status, size = "/v/UpdaterReport?" + q, 404, 153
        out.write('198.51.100.%d - - [%s] "GET %s HTTP/1.1" %d %d "-" "Fetchkit/1.0"\n' % (random.randrange(256), t, target, status, size))
PY
files=()
for i in $(seq 1 "$millions"); do
  if [ $((i % 5)) -eq 0 ]; then
    gzip -1 -c "$work/block.log" >"$work/access.log.$i.gz"
    files+=("$work/access.log.$i.gz")
  else
    ln "$work/block.log" "$work/access.log.$i"
    files+=("$work/access.log.$i")
  fi
done
bytes=$(stat -L -c %s "${files[@]}" | awk '{ n += $1 } END { print n }')
echo "bench: $millions million lines in ${#files[@]} files ($((bytes / 1048576)) MB as stored, a fifth gzip-compressed)"
/usr/bin/time -f "bench: report of $millions million lines: %e s, peak memory %M KB" \
  "$tool" report "${files[@]}" --out "$work/report.html" >"$work/report.txt"
head -n1 "$work/report.txt"
echo "bench: the page is $(stat -c %s "$work/report.html") bytes"
