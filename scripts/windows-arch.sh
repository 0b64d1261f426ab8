#!/usr/bin/env bash
# Prints the Windows architecture whose programs this machine can run under
# Wine: i686 (the product's own, with wine32) where the kernel runs 32-bit
# x86 code, else x86_64 (wine64). Some virtual machines run 64-bit user code
# only: there every i386 program, wine32's loader included, fails with
# "Exec format error", and the Windows programs are tested as 64-bit builds;
# so are they where wine32 could not be installed (scripts/bootstrap.sh).
#   UPDATER_WINDOWS_ARCH=i686|x86_64 overrides the choice.
set -euo pipefail
if [ -n "${UPDATER_WINDOWS_ARCH:-}" ]; then
  echo "$UPDATER_WINDOWS_ARCH"
elif [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1 \
     && { [ -x /usr/lib/wine/wine ] || ! [ -x /usr/lib/wine/wine64 ]; }; then
  # (and wine32 is there, or no Wine yet: bootstrap installs it where it can)
  echo i686
else
  echo x86_64
fi
