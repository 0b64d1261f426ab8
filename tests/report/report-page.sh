#!/usr/bin/env bash
# The release tool's report of the test server's access log, after the whole
# updates have run against it: the text names the sample release's runs, and
# the page, opened in a real browser (Chromium, headless), shows them.
#   report-page.sh RELEASE_TOOL SERVER_STATE_DIR OUT_DIR
# Leaves OUT_DIR/report.html, report.txt and report.png (the screenshot).
set -euo pipefail
tool=${1:?usage: report-page.sh RELEASE_TOOL SERVER_STATE_DIR OUT_DIR}
state=${2:?}
out=${3:?}
mkdir -p "$out"
rm -f "$out/report.html" "$out/report.txt" "$out/report.png"
fail() { echo "report-page: $*" >&2; exit 1; }

[ -s "$state/access.log" ] || fail "no access log in $state: run the whole updates first (update_flow_tests)"
"$tool" report "$state/access.log" --out "$out/report.html" >"$out/report.txt"
cat "$out/report.txt"

# The text: the sample release has the most runs, so it comes first, with
# every outcome the whole updates make of it (its rollout's stages included);
# the runs that checked no release (those the policy ended) follow.
section() { awk -v label="$1" 'index($0, label) == 1 { on = 1; print; next } /^[^ ]/ { on = 0 } on' "$out/report.txt"; }
title=$(sed -n '3p' "$out/report.txt" | sed 's/: [0-9]* runs*,.*//')
[[ "$title" == *"content "* ]] || fail "the first release is \"$title\", not the sample release"
sample=$(section "$title:")
unchecked=$(section "no release checked:")
runs() { awk -v what="$2" -v column="$3" '$1 == what { print $column }' <<<"$1"; }
for row in "sample installed 2" "sample preloaded 4" "sample current 5" "sample failed 5" "sample heldback 4" \
           "sample declined 2" "unchecked policy 5"; do
  set -- $row
  [ "$1" = sample ] && text=$sample || text=$unchecked
  n=$(runs "$text" "$2" "$3")
  [ -n "$n" ] && [ "$n" -gt 0 ] || fail "the report shows no run \"$2\" (column $3) in the $1 section"
done

# The page in the browser: the sample release first, with its bars in the
# chart (a colour's pixels beyond its keys in the legend and the table).
browser=(chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --force-device-scale-factor=1
         --window-size=1280,1600 --user-data-dir="$out/profile")
timeout 60 "${browser[@]}" --screenshot="$out/report.png" "file://$out/report.html" >/dev/null 2>&1 || true
[ -s "$out/report.png" ] || fail "the browser made no screenshot"
timeout 60 "${browser[@]}" --dump-dom "file://$out/report.html" 2>/dev/null >"$out/report.dom" || true
first=$(grep -o '<h2>[^<]*' "$out/report.dom" | head -n1 | sed 's/<h2>//; s/ *$//')
[ "$first" = "$title" ] || fail "the page's first release is \"$first\", not \"$title\""
pixels() { convert "$out/report.png" -fill black +opaque "$1" -fill white -opaque "$1" -format '%[fx:int(mean*w*h+0.5)]' info:; }
for colour in "#2e7d32 installed 330" "#66bb6a preloaded 2000" "#fbc02d heldback 2000"; do
  set -- $colour
  n=$(pixels "$1")
  echo "report-page: $n pixels of $2 ($1) in the screenshot"
  [ "$n" -gt "$3" ] || fail "the screenshot shows no bar of \"$2\" ($n pixels, more than $3 expected)"
done
rm -rf "$out/profile"
echo "report-page: $out/report.png shows $title"
