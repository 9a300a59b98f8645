#!/usr/bin/env bash
# Makes sure this machine runs 32-bit x86 programs, which the x86 target's
# tests and Debian 11's i386 system need. An x86-64 kernel normally runs
# them itself; some sandboxes' kernels refuse them (exec format error). There
# this registers qemu-i386-static (Debian's qemu-user-static) with binfmt_misc
# for i386 programs, with the F flag so that they also run inside a chroot.
# Needs root for that. Prints "native" or "qemu-i386".
set -euo pipefail
probe=/usr/lib/i386-linux-gnu/ld-linux.so.2  # from libc6:i386
if [ ! -e "$probe" ]; then
  echo "i386-programs: $probe missing (Debian package libc6:i386)" >&2
  exit 1
fi
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/kelvo4-i386" ] && "$probe" --version >/dev/null 2>&1; then
  echo native
  exit 0
fi
if [ ! -e "$binfmt/kelvo4-i386" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "i386-programs: this kernel runs no 32-bit x86 programs; run as root to register qemu-i386" >&2; exit 1; }
  if ! command -v qemu-i386-static >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends qemu-user-static >/dev/null ||
      { apt-get update >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends qemu-user-static >/dev/null; }
  fi
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  # An i386 executable or shared object's ELF header, as qemu's own
  # registration matches it.
  printf '%s' ':kelvo4-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$(command -v qemu-i386-static)"':F' \
    >"$binfmt/register"
fi
"$probe" --version >/dev/null 2>&1 || { echo "i386-programs: 32-bit x86 programs do not run, even under qemu-i386" >&2; exit 1; }
echo qemu-i386
