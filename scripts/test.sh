#!/usr/bin/env bash
# Builds everything and runs every test: the release build (with valgrind
# memcheck as a step of its own), then the
# AddressSanitizer + UndefinedBehaviorSanitizer build, the threaded tests under
# ThreadSanitizer, the C++ suites cross-built for 32-bit x86 (natively, with
# the Java suites on a 32-bit VM, or under qemu-i386 where the kernel refuses
# 32-bit programs), 32-bit Arm, aarch64 and big-endian s390x
# (under qemu), the jar with all five libraries on each processor's VM and on
# Java 11, 17, 21 and 25 in Debian 11 and 13 roots (scripts/jvms.sh), then
# the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

# Runs a step and reports how long it took.
step() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "== $name: $((SECONDS - start)) s"
}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" -LE memcheck
step "valgrind memcheck" ctest --test-dir build --output-on-failure -j "$jobs" -L memcheck

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO4_SANITIZE=ON -DKELVO4_BUILD_BENCH=OFF
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs" -LE nosanitize

# The tests that run decoders on worker threads, under ThreadSanitizer.
tsan() {
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO4_TSAN=ON -DKELVO4_BUILD_BENCH=OFF \
    -DKELVO4_BUILD_JAVA=OFF
  cmake --build build-tsan -j "$jobs" --target kelvo4_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/kelvo4_tests --gtest_filter='Handles*:ClosedLoop*:Stream.*'
}
step "ThreadSanitizer" tsan

# Also packs their libraries into build's jar and decodes from that jar on
# each processor's VM.
step "cross targets" scripts/cross.sh

# The jar, now with every library, on Debian 11's and 13's own glibc and VMs.
step "Java 11 to 25 (Debian 11 and 13)" scripts/jvms.sh build build-x86

step "fuzzing (build, then 120 s over the five targets)" scripts/fuzz.sh 120
