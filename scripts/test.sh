#!/usr/bin/env bash
# Builds everything and runs every test: the release build (with valgrind
# memcheck and the JVM soak run as steps of their own), then the
# AddressSanitizer + UndefinedBehaviorSanitizer build, then the fuzzers.
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
ctest --test-dir build --output-on-failure -j "$jobs" -LE 'memcheck|soak'
step "valgrind memcheck" ctest --test-dir build --output-on-failure -j "$jobs" -L memcheck
step "JVM soak" ctest --test-dir build --output-on-failure -V -L soak

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO4_SANITIZE=ON -DKELVO4_BUILD_BENCH=OFF
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs" -LE nosanitize

step "fuzzing (build and 60 s per target)" scripts/fuzz.sh 60
