#!/usr/bin/env bash
# Makes a Debian root (debootstrap --variant=minbase) of SUITE for ARCH with
# PACKAGEs added, or finds the one made before, and prints its path on
# stdout; progress goes to stderr, debootstrap's output to ROOT.log.
# Usage: scripts/debian-root.sh SUITE ARCH [PACKAGE...]
#   e.g. scripts/debian-root.sh bullseye i386 openjdk-17-jre-headless
# Roots live under /var/cache/kelvo4 (or KELVO4_ROOT_CACHE) in folders named
# SUITE-ARCH-HASH, the hash of what they hold (suite, architecture, packages,
# mirror, and the recipe below): a root is made once per machine. A root is
# made within KELVO4_ROOT_TIMEOUT seconds (600) from KELVO4_DEBIAN_MIRROR
# (deb.debian.org). Several roots are made at once by running this script
# for each in the background.
# A root this machine runs natively (amd64; i386 when the kernel runs 32-bit
# x86 code itself, see scripts/i386-programs.sh) is configured by
# debootstrap's second stage. Any other is unpacked instead, its packages'
# scripts never run (under an emulator they take many minutes, and
# debootstrap's second stage needs the architecture's emulator): its files,
# users, groups and loader cache are there, its packages are not configured.
# One run at a time makes or uses a root: this script holds ROOT.lock (flock)
# while it makes or checks a root, and a caller that mounts in or runs from
# the root holds the same lock while it does (waiting for it as this script
# does, after the script has printed the path).
# Runs as root; installs debootstrap (scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "debian-root: $*" >&2; exit 1; }
[ $# -ge 2 ] || fail "usage: scripts/debian-root.sh SUITE ARCH [PACKAGE...]"
suite=$1 arch=$2
shift 2
mirror=${KELVO4_DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=$(realpath -m "${KELVO4_ROOT_CACHE:-/var/cache/kelvo4}")
limit=${KELVO4_ROOT_TIMEOUT:-600}
# Bump when the way a root is made changes: its folder's name changes with it.
recipe=1
include=$(printf '%s\n' "$@" | sed '/^$/d' | sort -u | paste -sd , -)
[ "$(id -u)" -eq 0 ] || fail "run as root (debootstrap and chroot need it)"
[[ $cache != *[[:space:]]* ]] || fail "the root cache's path has a space: $cache"
[[ $suite$arch$include =~ ^[a-z0-9.+,-]*$ ]] || fail "not a suite, architecture or package name: $suite $arch $*"

key=$(printf 'suite=%s\narch=%s\nvariant=minbase\ninclude=%s\nmirror=%s\nrecipe=%s\n' \
  "$suite" "$arch" "$include" "$mirror" "$recipe")
root=$cache/$suite-$arch-$(sha256sum <<<"$key" | cut -c1-16)
marker=.kelvo4-root
name="$suite $arch root"
mkdir -p "$cache"
exec {lock}>"$root.lock"
if ! flock -n "$lock"; then
  echo "$name: waiting for another run that holds $root.lock" >&2
  flock -w 1800 "$lock" || fail "$root.lock: still held after 30 minutes"
fi
if [ -e "$root/$marker" ]; then
  echo "$name: cached ($root)" >&2
  echo "$root"
  exit 0
fi

# shellcheck source=scripts/mounts.sh
. scripts/mounts.sh

scripts/deps.sh >&2
native=0
case $arch in
  amd64) [ "$(uname -m)" = x86_64 ] && native=1 ;;
  i386) [ "$(uname -m)" = x86_64 ] && [ "$(scripts/i386-programs.sh)" = native ] && native=1 ;;
esac

dir=$root.tmp log=$root.log child=""
remove "$root" && remove "$dir" || exit 1
: >"$log"
cleanup() {
  local status=$?
  trap - INT TERM HUP
  [ -z "$child" ] || { kill -TERM "$child" 2>/dev/null; wait "$child" 2>/dev/null; }
  [ ! -e "$dir" ] || remove "$dir" || status=1
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

start=$SECONDS deadline=$((SECONDS + limit))
# A step in the time left (timeout passes TERM on to the step's processes).
limited() {
  local left=$((deadline - SECONDS)) status=0
  [ "$left" -gt 0 ] || return 124
  timeout -k 10 "$left" "$@" >>"$log" 2>&1 &
  child=$!
  wait "$child" || status=$?
  child=""
  return "$status"
}
failed() {
  local status=$?
  tail -n 20 "$log" >&2
  [ "$status" -eq 124 ] && fail "$name: not made within $limit s; its log: $log"
  fail "$name: making it failed (status $status); its log: $log"
}
echo "$name: making it (log: $log)" >&2
limited debootstrap --foreign --variant=minbase --arch="$arch" ${include:+--include="$include"} \
  "$suite" "$dir" "$mirror" || failed
if [ "$native" -eq 1 ]; then
  limited env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C \
    chroot "$dir" /debootstrap/debootstrap --second-stage || failed
  how="debootstrap's second stage"
else
  # The first stage unpacked the essential packages; unpack the rest as
  # dpkg would, with the users and the loader's cache their scripts make.
  # shellcheck disable=SC2013  # one line of names
  for p in $(cat "$dir/debootstrap/base"); do
    deb=$(awk -v p="$p" '$1 == p { print $2 }' "$dir/debootstrap/debpaths")
    dpkg-deb --fsys-tarfile "$dir$deb" | tar -x --keep-directory-symlink -f - -C "$dir" || failed
  done
  cp "$dir/usr/share/base-passwd/passwd.master" "$dir/etc/passwd"
  cp "$dir/usr/share/base-passwd/group.master" "$dir/etc/group"
  ldconfig -r "$dir" >>"$log" 2>&1 || failed
  rm -rf "$dir/debootstrap"
  how="unpacked: this machine runs no $arch code natively"
fi
rm -f "$dir"/var/cache/apt/archives/*.deb
{ printf '%s\n' "$key"; echo "made=$how, $(date -u +%FT%TZ)"; } >"$dir/$marker"
mv -T "$dir" "$root"
echo "$name: made in $((SECONDS - start)) s ($how; $root)" >&2
echo "$root"
