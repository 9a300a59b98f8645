#!/usr/bin/env bash
# Counts the instructions the NEON kernels and stages execute against the
# scalar ones, for aarch64 or 32-bit Arm (armhf), under qemu-user
# (-singlestep logs every instruction).
# Needs g++-aarch64-linux-gnu or g++-arm-linux-gnueabihf, qemu-user and the
# target's multiarch libc (scripts/cross.sh installs them). Everything is built
# with -O2 unless OPT says otherwise (OPT=-O3, as a Release build).
# Usage: scripts/instructions.sh aarch64|arm
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-} in
  aarch64) cxx=aarch64-linux-gnu-g++ qemu=qemu-aarch64 neon=() ;;
  # NEON is above the armhf baseline: only src/arm/ is built for it, as in CMake.
  arm) cxx=arm-linux-gnueabihf-g++ qemu=qemu-arm neon=(-mfpu=neon) ;;
  *) echo "usage: $0 aarch64|arm" >&2; exit 2 ;;
esac
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
flags=(${OPT:--O2} -std=c++20 -I. -Iinclude)
for f in src/arm/*.cpp; do
  $cxx "${flags[@]}" "${neon[@]}" -c "$f" -o "$out/$(basename "$f" .cpp).o"
done
$cxx "${flags[@]}" bench/instruction_harness.cpp src/cpu/cpu.cpp src/dct/*.cpp src/decoder/*.cpp src/platform/posix.cpp "$out"/*.o -lpthread \
  -o "$out/harness"
count() {  # MASK WHAT N
  KELVO4_CPU_MASK=$1 $qemu -singlestep -d nochain,exec -D "$out/log" "$out/harness" "$2" "$3" >/dev/null
  grep -c '^Trace' "$out/log"
}
per() {  # MASK WHAT N1 N2: instructions per call
  local a b
  a=$(count "$1" "$2" "$3"); b=$(count "$1" "$2" "$4")
  echo $(((b - a) / ($4 - $3)))
}
echo "$1:"
for k in idct fdct; do
  echo "$k per block: scalar $(per 8 ${k}_c 100 200), NEON $(per 8 ${k}_neon 100 200)"
done
blocks=594  # 176x144
echo "176x144 frame per block: scalar $(($(per 0 frame 2 4) / blocks)), NEON $(($(per 8 frame 2 4) / blocks))"
