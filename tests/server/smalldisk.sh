#!/usr/bin/env bash
# A small file system for the full-disk cases: a 32 MB tmpfs at
# STATE_DIR/disk, which the tests fill up themselves. Needs root; without it
# STATE_DIR/disk is left absent and the tests that need it say they were skipped.
#   smalldisk.sh start|stop STATE_DIR
set -euo pipefail
cmd=${1:?usage: smalldisk.sh start|stop STATE_DIR}
state=${2:?usage: smalldisk.sh start|stop STATE_DIR}
case "$cmd" in
  start)
    "$0" stop "$state"
    rm -rf "$state"
    mkdir -p "$state/disk"
    if ! mount -t tmpfs -o size=32m,mode=0777 tmpfs "$state/disk" 2>/dev/null; then
      rmdir "$state/disk"
      echo "smalldisk.sh: no tmpfs mount here (not root?); the full-disk tests will be skipped"
    fi
    ;;
  stop)
    if mountpoint -q "$state/disk" 2>/dev/null; then umount "$state/disk" || umount -l "$state/disk"; fi
    ;;
  *) echo "usage: smalldisk.sh start|stop STATE_DIR" >&2; exit 2 ;;
esac
