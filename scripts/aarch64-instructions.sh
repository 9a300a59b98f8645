#!/usr/bin/env bash
# Counts the aarch64 instructions the NEON kernels and stages execute against
# the scalar ones, under qemu-aarch64 (-singlestep logs every instruction).
# Needs g++-aarch64-linux-gnu and qemu-user (scripts/aarch64.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
aarch64-linux-gnu-g++ -O2 -std=c++20 -I. -Idecoder -Idct bench/instruction_harness.cpp cpu.cpp dct/*.cpp \
  decoder/*.cpp arm/*.cpp -lpthread -o "$out/harness"
count() {  # MASK WHAT N
  KELVO4_CPU_MASK=$1 qemu-aarch64 -singlestep -d nochain,exec -D "$out/log" "$out/harness" "$2" "$3" >/dev/null
  grep -c '^Trace' "$out/log"
}
per() {  # MASK WHAT N1 N2: instructions per call
  local a b
  a=$(count "$1" "$2" "$3"); b=$(count "$1" "$2" "$4")
  echo $(((b - a) / ($4 - $3)))
}
for k in idct fdct; do
  echo "$k per block: scalar $(per 8 ${k}_c 100 200), NEON $(per 8 ${k}_neon 100 200)"
done
blocks=594  # 176x144
echo "176x144 frame per block: scalar $(($(per 0 frame 2 4) / blocks)), NEON $(($(per 8 frame 2 4) / blocks))"
