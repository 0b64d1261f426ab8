#!/usr/bin/env bash
# Runs a Windows program in the project's Wine environment (see wine-env.sh).
#   wine-run.sh STATE_DIR PROGRAM.exe [ARGS...]
set -euo pipefail
state=${1:?usage: wine-run.sh STATE_DIR PROGRAM [ARGS...]}
shift
if [ ! -f "$state/display" ]; then
  echo "wine-run: the Wine environment is not started (wine-env.sh start $state)" >&2
  exit 1
fi
export WINEPREFIX="$state/prefix" WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
export LOCPATH="$state/locale"
export DISPLAY
DISPLAY=$(cat "$state/display")
exec env LC_ALL=zh_CN.UTF-8 wine "$@"
