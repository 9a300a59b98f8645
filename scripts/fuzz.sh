#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in build-fuzz and runs
# each for SECONDS (default 60), both at once, starting from the committed seed
# corpus. New inputs go to build-fuzz/corpus, findings to build-fuzz/findings;
# any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKELVO4_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j "$(nproc)"

passed=0 failed=0
pids=()
for target in decoder dct; do
  corpus=build-fuzz/corpus/$target findings=build-fuzz/findings/$target
  rm -rf "$corpus" "$findings"
  mkdir -p "$corpus" "$findings"
  UBSAN_OPTIONS=print_stacktrace=1 build-fuzz/tests/fuzz/kelvo4_${target}_fuzz \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "tests/fuzz/corpus/$target" >"build-fuzz/$target.log" 2>&1 &
  pids+=($!)
done
for i in 0 1; do
  target=$([ $i -eq 0 ] && echo decoder || echo dct)
  if wait "${pids[$i]}"; then
    passed=$((passed + 1))
    echo "fuzz $target: $(grep -h 'stat::number_of_executed_units' "build-fuzz/$target.log" | awk '{print $2}') executions, no finding"
  else
    failed=$((failed + 1))
    echo "fuzz $target FAILED, findings in build-fuzz/findings/$target:"
    tail -n 40 "build-fuzz/$target.log"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
