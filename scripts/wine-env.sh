#!/usr/bin/env bash
# Project-local Wine environment for the test session.
#   wine-env.sh start STATE_DIR   prefix, zh_CN.UTF-8 locale, fonts, Xvfb, persistent wineserver
#   wine-env.sh stop  STATE_DIR   stops what start started
# With WINE_ENV_DISPLAY set, windows go to that display instead of Xvfb.
# Nothing outside STATE_DIR is changed: no ~/.wine, no system locale.
set -euo pipefail
cmd=${1:?usage: wine-env.sh start|stop STATE_DIR}
state=${2:?usage: wine-env.sh start|stop STATE_DIR}
mkdir -p "$state"
state=$(cd "$state" && pwd)

export WINEDEBUG=-all
export LOCPATH="$state/locale"
# The loader and prefix kind this machine can run (see windows-arch.sh),
# recorded for wine-run.sh.
if [ "$cmd" = start ] || [ ! -f "$state/loader" ]; then
  if [ "$("$(dirname "$0")/windows-arch.sh")" = i686 ]; then
    echo wine >"$state/loader"
    echo win32 >"$state/winearch"
  else
    echo /usr/lib/wine/wine64 >"$state/loader"
    echo win64 >"$state/winearch"
  fi
fi
wine=$(cat "$state/loader")
export WINEPREFIX="$state/prefix" WINEARCH=$(cat "$state/winearch")
[ "$wine" = wine ] || export WINELOADER=$wine

start_xvfb() {
  # WINE_ENV_DISPLAY: use that X display (a person's screen) instead of Xvfb.
  if [ -n "${WINE_ENV_DISPLAY:-}" ]; then
    echo "$WINE_ENV_DISPLAY" >"$state/display"
    return
  fi
  if [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null; then return; fi
  local n
  for n in $(seq 91 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    setsid Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -ac </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    for _ in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && { echo ":$n" >"$state/display"; return; }
      kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null || break
      sleep 0.1
    done
  done
  echo "wine-env: could not start Xvfb (see $state/xvfb.log)" >&2
  exit 1
}

# zh_CN is the system the product is made for (ANSI code page 936); the others
# are the Windows display languages the window must read the same under:
# en_US (1252), zh_TW (950), ja_JP (932).
make_locale() {
  mkdir -p "$LOCPATH"
  local name
  for name in zh_CN en_US zh_TW ja_JP; do
    [ -f "$LOCPATH/$name.UTF-8/LC_CTYPE" ] && continue
    localedef -i "$name" -f UTF-8 "$LOCPATH/$name.UTF-8" >/dev/null 2>&1 || true
    [ -f "$LOCPATH/$name.UTF-8/LC_CTYPE" ] || { echo "wine-env: localedef $name failed" >&2; exit 1; }
  done
}

make_prefix() {
  # The settings below are part of the prefix: a prefix made before they changed is made anew.
  local ready="$WINEARCH settings 2"
  [ "$(cat "$state/prefix.ready" 2>/dev/null)" = "$ready" ] && return
  rm -rf "$WINEPREFIX"
  DISPLAY= LC_ALL=zh_CN.UTF-8 "$wine" wineboot -i >/dev/null 2>&1 </dev/null
  # GDI+ finds no 宋体/SimSun in a stock prefix; map both to the Chinese font
  # Debian ships. Message boxes get a Wine-drawn title bar on Xvfb (no window manager).
  # A program that crashes (the tests' failing product) ends without Wine's crash dialog.
  local reg="$state/settings.reg"
  printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
    '"SimSun"="WenQuanYi Zen Hei"' '"宋体"="WenQuanYi Zen Hei"' \
    '"NSimSun"="WenQuanYi Zen Hei"' '"新宋体"="WenQuanYi Zen Hei"' '' \
    '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Decorated"="N"' '' \
    '[HKEY_CURRENT_USER\Software\Wine\WineDbg]' '"ShowCrashDialog"=dword:00000000' '' \
    | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } >"$reg"
  LC_ALL=zh_CN.UTF-8 "$wine" regedit /S "$reg" >/dev/null 2>&1 </dev/null
  wineserver -w
  echo "$ready" >"$state/prefix.ready"
}

case "$cmd" in
  start)
    make_locale
    make_prefix
    start_xvfb
    wineserver -p </dev/null >/dev/null 2>&1 || true  # already running is fine
    # Warm the server so the first test does not pay the cold start.
    DISPLAY=$(cat "$state/display") LC_ALL=zh_CN.UTF-8 "$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    if [ -f "$state/xvfb.pid" ]; then
      kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
      rm -f "$state/xvfb.pid" "$state/display"
    fi
    ;;
  *) echo "usage: wine-env.sh start|stop STATE_DIR" >&2; exit 2 ;;
esac
