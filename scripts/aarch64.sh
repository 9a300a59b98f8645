#!/usr/bin/env bash
# Cross-builds the library, the tools and the C++ test suites for aarch64 with
# Debian's g++-aarch64-linux-gnu and runs the tests under qemu-aarch64 (the
# toolchain file makes it ctest's emulator). Java and the benchmarks stay
# native only. Installs what it needs when run as root.
# Usage: scripts/aarch64.sh [BUILD_DIR]   (default build-aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-aarch64}

host=(g++-aarch64-linux-gnu qemu-user)
# The runtime the programs load under qemu comes from the multiarch packages
# too (see cmake/aarch64-linux-gnu.cmake).
target=(libc6-dev:arm64 libstdc++6:arm64 libgtest-dev:arm64 libpng-dev:arm64 libzstd-dev:arm64 zlib1g-dev:arm64)
missing=()
for p in "${host[@]}" "${target[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
  -DKELVO4_BUILD_JAVA=OFF -DKELVO4_BUILD_BENCH=OFF
cmake --build "$build" -j "$(nproc)"

# Emulation is slow: the kernel checks run fewer random blocks per version.
log="$build/aarch64-ctest.log"
status=0
KELVO4_DCT_BLOCKS=${KELVO4_DCT_BLOCKS:-500000} \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 900 2>&1 | tee "$log" || status=$?
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
if [ -z "$summary" ]; then
  echo "aarch64: 0 passed, 1 failed (no test summary)"
  exit 1
fi
failed=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
echo "aarch64: $((total - failed)) passed, $failed failed"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
