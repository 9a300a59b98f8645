# shellcheck shell=bash
# Sourced by the scripts that make or enter Debian roots (scripts/debian-root.sh,
# scripts/jvms.sh): folders with mounts below them, taken down safely.

# Unmounts whatever is mounted at or below a folder, deepest first.
unmount_under() {
  local m
  awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r |
    while read -r m; do umount "$m" 2>/dev/null || umount -l "$m"; done
}
# Removes a folder of ours, never through a mount.
remove() {
  [ -e "$1" ] || return 0
  unmount_under "$1"
  if awk -v d="$1" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
    echo "$(basename "$0" .sh): $1 still has a mount below it: left in place" >&2
    return 1
  fi
  rm -rf --one-file-system "$1"
}
