#!/usr/bin/env bash
# Proves the README's two commands on a fresh machine: makes a new Debian 12
# root with debootstrap in a temporary folder, clones this repository into it
# and runs there, as a new user would, the test command (scripts/test.sh) and
# then the main job headless (scripts/demo.sh --mode 3). The root is always
# unmounted and removed at the end, also when interrupted.
#   scripts/fresh-root.sh [--tests-only]
# Needs root (or sudo) and the network to a Debian package mirror; exits
# non-zero with a clear word when the root cannot be made.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
run_demo=1
case "${1:-}" in
  --tests-only) run_demo=0 ;;
  "") ;;
  -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
  *) echo "fresh-root: unknown argument $1" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "fresh-root: needs root or sudo (debootstrap, chroot, mount)" >&2; exit 2; }
  exec sudo -E "$0" "$@"
fi

say() { echo "fresh-root: $*"; }
die() { echo "fresh-root: $*" >&2; exit 3; }

# Package fetches are retried when the mirror does not answer; tests never are.
retry() {
  local n
  for n in 1 2 3; do
    "$@" && return 0
    [ "$n" -lt 3 ] && { say "attempt $n of: $* failed, trying again in $((n * 10)) s"; sleep $((n * 10)); }
  done
  return 1
}

# The mirror this machine already uses, so the root gets its packages from
# the same place; debootstrap's default otherwise.
mirror=""
for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list; do
  [ -f "$f" ] || continue
  mirror=$(sed -n -E 's/^URIs:[[:space:]]*([^[:space:]]+\/debian)[[:space:]]*$/\1/p; s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+\/debian)[[:space:]]+bookworm[[:space:]].*/\2/p' "$f" | head -n1)
  [ -n "$mirror" ] && break
done

if ! command -v debootstrap >/dev/null; then
  say "installing debootstrap"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails one index (often a foreign architecture's
  # security list) while debootstrap's own is fresh: the install is still tried.
  retry apt-get update -qq || say "some package lists could not be refreshed; installing from those that were"
  retry apt-get install -y -qq --no-install-recommends debootstrap >/dev/null || die "cannot install debootstrap"
fi

root=$(mktemp -d "${TMPDIR:-/var/tmp}/fresh-root.XXXXXX")
# A real machine's / is open to every user (nginx's workers run as www-data); mktemp's folder is not.
chmod 755 "$root"
mounted=()
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # Anything still running inside the root (a wineserver, Xvfb, nginx) keeps
  # its mounts busy: end it first.
  local pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null || true
  done
  # The script's own children first (debootstrap, a chroot'ed step).
  local job
  for job in $(jobs -p); do kill -9 "$job" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # Every mount below the root, deepest first: ours, and those a stopped
  # debootstrap left (it mounts /proc in the root itself).
  local m
  for m in $( (printf '%s\n' "${mounted[@]}"; findmnt -rn -o TARGET | grep "^$root/") | sort -ru); do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
  done
  # Never remove a tree that still has the machine's /dev or /proc inside.
  if findmnt -rn -o TARGET | grep -q "^$root"; then
    echo "fresh-root: $root still has mounts; left in place, remove it by hand" >&2
  else
    rm -rf "$root"
  fi
  rm -f "$root.log"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

elapsed() { echo $(( $(date +%s) - $1 )); }
t0=$(date +%s)
say "making a Debian 12 root in $root${mirror:+ from $mirror}"
made=0
for n in 1 2 3; do
  if debootstrap --variant=minbase bookworm "$root" ${mirror:+"$mirror"} >"$root.log" 2>&1 & wait $!; then
    made=1
    break
  fi
  tail -n 3 "$root.log" >&2
  [ "$n" -lt 3 ] && { say "debootstrap attempt $n failed, trying again"; sleep $((n * 10)); rm -rf "$root"; mkdir -p "$root"; }
done
rm -f "$root.log"
[ "$made" = 1 ] || die "cannot make the root: debootstrap failed three times (no network to the package mirror?)"
t_root=$(elapsed "$t0")

# What a real machine has and a bare root lacks: name resolution, localhost,
# the security and update suites. Services that packages would start stay off:
# a daemon left running inside would keep the root's mounts busy.
cp /etc/resolv.conf "$root/etc/resolv.conf"
printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
base_mirror=${mirror:-http://deb.debian.org/debian}
cat >"$root/etc/apt/sources.list" <<EOF
deb $base_mirror bookworm main
deb $base_mirror bookworm-updates main
deb ${base_mirror%/debian}/debian-security bookworm-security main
EOF
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

mount_in() {  # mount_in TARGET mount-arguments...
  local target=$root$1
  shift
  mkdir -p "$target"
  mount "$@" "$target" || die "cannot mount $target (mounting refused?)"
  mounted+=("$target")
}
mount_in /proc -t proc proc
mount_in /sys -t sysfs sysfs
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
mount_in /dev/shm --bind /dev/shm

say "cloning the repository into the root"
git clone -q "$repo" "$root/work/velnoria" || die "cannot clone $repo"

# Long steps run as children that the script waits for, so that a signal
# (Ctrl-C, a CI time-out) reaches the cleanup at once, which ends them.
waited() {
  "$@" &
  wait $!
}
inside() {
  waited chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin ${CI:+CI=$CI} \
    bash -c "cd /work/velnoria && $1"
}

t0=$(date +%s)
say "installing the packages (scripts/bootstrap.sh)"
retry inside scripts/bootstrap.sh || die "cannot install the packages inside the root"
t_packages=$(elapsed "$t0")

t0=$(date +%s)
say "running the README's test command: scripts/test.sh"
status=0
inside scripts/test.sh || status=$?
t_test=$(elapsed "$t0")

t_demo=-
if [ "$status" = 0 ] && [ "$run_demo" = 1 ]; then
  t0=$(date +%s)
  say "running the main job headless: scripts/demo.sh --mode 3"
  inside "scripts/demo.sh --mode 3" || status=$?
  t_demo=$(elapsed "$t0")
fi

say "timings (s): root $t_root, packages $t_packages, build and tests $t_test, demo $t_demo"
[ "$status" = 0 ] && say "the two commands work on a fresh Debian 12" || say "FAILED (status $status)"
# The suite's count stays the last line, after the demo's report.
cat "$root/work/velnoria/build/ctest-summary.txt" 2>/dev/null || true
exit "$status"
