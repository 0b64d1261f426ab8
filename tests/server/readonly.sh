#!/usr/bin/env bash
# An install folder the updater cannot write, as under Program Files for a
# standard user: STATE_DIR/rw is writable, STATE_DIR/ro shows the same files
# through a read-only bind mount. Needs root; without it STATE_DIR/ro is
# left absent and the tests that need it say they were skipped.
#   readonly.sh start|stop STATE_DIR
set -euo pipefail
cmd=${1:?usage: readonly.sh start|stop STATE_DIR}
state=${2:?usage: readonly.sh start|stop STATE_DIR}
case "$cmd" in
  start)
    "$0" stop "$state"
    rm -rf "$state"
    mkdir -p "$state/rw" "$state/ro"
    if ! { mount --bind "$state/rw" "$state/ro" 2>/dev/null && mount -o remount,bind,ro "$state/ro" 2>/dev/null; }; then
      umount "$state/ro" 2>/dev/null || true
      rmdir "$state/ro"
      echo "readonly.sh: no read-only bind mount here (not root?); the unwritable-folder tests will be skipped"
    fi
    ;;
  stop)
    if mountpoint -q "$state/ro" 2>/dev/null; then umount "$state/ro" || umount -l "$state/ro"; fi
    ;;
  *) echo "usage: readonly.sh start|stop STATE_DIR" >&2; exit 2 ;;
esac
