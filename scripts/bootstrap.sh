#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need on a
# fresh Debian 12 (checked with scripts/fresh-root.sh). Quick no-op when
# everything is already there. Fetches are retried when the mirror does not
# answer.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ googletest libgtest-dev libssl-dev zlib1g-dev libdivsufsort-dev python3
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine32:i386 wine64 fonts-wine fonts-wqy-zenhei
  xvfb xauth x11-utils imagemagick xdotool locales
  nginx-light curl openssl time chromium clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
retry() {
  local n
  for n in 1 2 3; do
    "$@" && return 0
    [ "$n" -lt 3 ] && { echo "bootstrap: '$*' failed, trying again" >&2; sleep $((n * 10)); }
  done
  return 1
}
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails one index (often a foreign architecture's
# security list); the others are fresh, so the install is still tried.
retry $SUDO apt-get -o Acquire::Retries=3 update -qq \
  || echo "bootstrap: some package lists could not be refreshed; installing from those that were" >&2
# wine32 runs the product's own 32-bit build where the kernel runs i386
# code. Its i386 libraries must match the amd64 ones exactly, which a
# mirror caught mid-sync cannot always give: then the rest is installed and
# the tests run the x86-64 build under wine64 (scripts/windows-arch.sh).
rest=()
for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
if [ ${#rest[@]} -lt ${#missing[@]} ]; then
  $SUDO apt-get -o Acquire::Retries=3 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null \
    || { echo "bootstrap: wine32 cannot be installed from this mirror now: the Windows tests run as x86-64" >&2; false; } \
    || { [ ${#rest[@]} -eq 0 ] || retry $SUDO apt-get -o Acquire::Retries=3 install -y -qq --no-install-recommends "${rest[@]}" >/dev/null; }
else
  retry $SUDO apt-get -o Acquire::Retries=3 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
