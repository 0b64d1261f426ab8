#!/usr/bin/env bash
# The update window's pictures under other display languages against those
# under code page 936: every pixel must be equal.
#   compare-pictures.sh SCREENSHOT_DIR LOCALE...
# SCREENSHOT_DIR holds the 936 pictures; SCREENSHOT_DIR/LOCALE the others.
set -uo pipefail
dir=${1:?usage: compare-pictures.sh SCREENSHOT_DIR LOCALE...}
shift
command -v compare >/dev/null || { echo "compare-pictures: ImageMagick's compare is missing" >&2; exit 1; }
failed=0
for locale in "$@"; do
  for picture in window-offer window-updating window-success window-failure; do
    a="$dir/$picture.png" b="$dir/$locale/$picture.png"
    if [ ! -f "$a" ] || [ ! -f "$b" ]; then
      echo "$locale $picture: missing picture"; failed=1; continue
    fi
    # The failure's progress bar shows how far the parallel transfers had got
    # when the failing module gave up: timing, not text. Its fill is left out
    # (the window is centred on the 1024x768 screen, the bar at 372,459).
    mask=()
    [ "$picture" = window-failure ] && mask=(-fill black -draw "rectangle 372,459 654,482")
    convert "$a" "${mask[@]}" "$dir/$locale/$picture-936.png"
    convert "$b" "${mask[@]}" "$dir/$locale/$picture-compared.png"
    # compare prints the count of differing pixels on stderr.
    differ=$(compare -metric AE "$dir/$locale/$picture-936.png" "$dir/$locale/$picture-compared.png" \
             "$dir/$locale/$picture-diff.png" 2>&1 >/dev/null)
    echo "$locale $picture: $differ pixels differ"
    [ "$differ" = 0 ] || failed=1
  done
done
exit $failed
