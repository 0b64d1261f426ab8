#!/usr/bin/env bash
# Runs a Windows program in the project's Wine environment (see wine-env.sh).
#   wine-run.sh STATE_DIR PROGRAM.exe [ARGS...]
# WINE_LOCALE picks the locale, and so the ANSI code page, the program runs
# under (default zh_CN.UTF-8, code page 936; see wine-env.sh for the others).
set -euo pipefail
state=${1:?usage: wine-run.sh STATE_DIR PROGRAM [ARGS...]}
shift
if [ ! -f "$state/display" ]; then
  echo "wine-run: the Wine environment is not started (wine-env.sh start $state)" >&2
  exit 1
fi
wine=$(cat "$state/loader" 2>/dev/null || echo wine)
export WINEPREFIX="$state/prefix" WINEARCH=$(cat "$state/winearch" 2>/dev/null || echo win32)
export WINEDEBUG=${WINEDEBUG:--all}
export LOCPATH="$state/locale"
[ "$wine" = wine ] || export WINELOADER=$wine
export DISPLAY
DISPLAY=$(cat "$state/display")
exec env LC_ALL="${WINE_LOCALE:-zh_CN.UTF-8}" "$wine" "$@"
