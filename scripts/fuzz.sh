#!/usr/bin/env bash
# Builds the libFuzzer target (clang, ASan + UBSan) in build-fuzz and runs it
# for SECONDS (default 60), starting from the committed seed corpus. New
# inputs go to build-fuzz/corpus, findings to build-fuzz/findings; any finding
# fails the run. (The DCT kernels are checked bit for bit against the
# reference by kelvo4_tests, on millions of seeded blocks.)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKELVO4_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j "$(nproc)"

corpus=build-fuzz/corpus/decoder findings=build-fuzz/findings/decoder
rm -rf "$corpus" "$findings"
mkdir -p "$corpus" "$findings"
if UBSAN_OPTIONS=print_stacktrace=1 build-fuzz/tests/fuzz/kelvo4_decoder_fuzz \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$corpus" tests/fuzz/corpus/decoder >build-fuzz/decoder.log 2>&1; then
  echo "fuzz decoder: $(grep -h 'stat::number_of_executed_units' build-fuzz/decoder.log | awk '{print $2}') executions, no finding"
else
  echo "fuzz decoder FAILED, findings in $findings:"
  tail -n 40 build-fuzz/decoder.log
  exit 1
fi
