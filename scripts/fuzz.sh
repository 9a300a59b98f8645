#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in $KELVO4_FUZZ_BUILD
# (default build-fuzz) and runs each for its share of SECONDS (default 60):
# the stream reader two sixths, the decoder, the coefficient coder, the
# YUV4MPEG2 reader and the picture reader (PNG, PPM) one sixth each. The decoder starts from the
# committed corpus (tests/fuzz/corpus/decoder); the others from small files
# made here with the tools of a release build ($KELVO4_TOOLS, default
# build/tools, built there when missing): streams with and without index and
# compression and of format version 1, each followed by the target's control
# bytes; YUV4MPEG2 in 4:2:0, 4:2:2, 4:4:4 and grey; a PNG and a PPM. No
# allocation may exceed 128 MiB. New inputs go to BUILD/corpus/TARGET,
# findings to BUILD/findings/TARGET (replay: BUILD/tests/fuzz/kelvo4_TARGET_fuzz
# FILE); any finding fails the run, after every target has run. (The DCT
# kernels are checked bit for bit against the reference by kelvo4_tests, on
# millions of seeded blocks.)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${KELVO4_FUZZ_BUILD:-build-fuzz}
tools=${KELVO4_TOOLS:-build/tools}
CC=clang CXX=clang++ cmake -S . -B "$build" -DKELVO4_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"
if [ ! -x "$tools/kelvo-encode" ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
  cmake --build build -j "$(nproc)" --target kelvo-encode kelvo-decode kelvo-clip
  tools=build/tools
fi

seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds/stream" "$seeds/coefficients" "$seeds/y4m" "$seeds/image"
"$tools/kelvo-clip" --size 24x16 --frames 3 "$seeds/clip"
"$tools/kelvo-encode" --quiet --keyint 2 "$seeds/clip" -o "$seeds/indexed.klv" 2> /dev/null
"$tools/kelvo-encode" --quiet --keyint 2 --level 0 "$seeds/clip" -o "$seeds/stored.klv" 2> /dev/null
"$tools/kelvo-encode" --quiet "$seeds/clip" -o - 2> /dev/null > "$seeds/piped.klv"
# Version 1: 16x16, a table of ones, two payloads.
{
  printf 'KLV4\1\0\0\0\20\0\0\0\20\0\0\0'
  for _ in $(seq 64); do printf '\0\0\200\77'; done
  head -c 768 "$seeds/stored.klv"
} > "$seeds/v1.klv"
# The stream target's control bytes follow the stream: none (it plays), and a mix of calls.
for f in "$seeds"/*.klv; do
  name=$(basename "$f" .klv)
  { cat "$f"; head -c 16 /dev/zero; } > "$seeds/stream/$name"
  { cat "$f"; printf '\3\1\4\1\5\11\2\6\5\3\5\10\11\7\11\3'; } > "$seeds/stream/$name-calls"
done
"$tools/kelvo-decode" --quiet --format y4m --frames 2 "$seeds/indexed.klv" "$seeds/y4m/444.y4m"
y4m() {  # NAME TAGS BYTES-PER-FRAME: an 8x6 stream of two frames
  { printf 'YUV4MPEG2 W8 H6 F25:1 %s\n' "$2"; for _ in 1 2; do printf 'FRAME\n'; head -c "$3" "$seeds/stored.klv"; done; } \
    > "$seeds/y4m/$1.y4m"
}
y4m 420jpeg "C420jpeg" 72
y4m 420mpeg2 "C420mpeg2 XCOLORRANGE=FULL" 72
y4m 422 "C422 Ip A1:1" 96
y4m mono "Cmono" 48
"$tools/kelvo-decode" --quiet --start 1 "$seeds/indexed.klv" "$seeds/image/one.png"
# The coder, 32x16: a stored payload of the clip (mode 0x81), and the coded
# frame 0 as the stream holds it after its record and table (mode 1: flags,
# 16-bit length, the frame).
{ printf '\201'; tail -c +313 "$seeds/stored.klv" | head -c 768; } > "$seeds/coefficients/payload"
coded=$(od -An -tu4 -j52 -N4 "$seeds/indexed.klv" | tr -d ' ')
{ printf '\1\1'; printf "\\$(printf %o $((coded & 255)))\\$(printf %o $((coded >> 8 & 255)))";
  tail -c +313 "$seeds/indexed.klv" | head -c "$coded"; } > "$seeds/coefficients/coded"
"$tools/kelvo-decode" --quiet --start 1 "$seeds/indexed.klv" "$seeds/image/one.ppm"
ffmpeg -v error -i "$seeds/image/one.png" "$seeds/image/one.jpg"

failed=0
run() {  # TARGET SIXTHS SEED-DIRECTORY
  local target=$1 time=$(($2 * seconds / 6)) corpus=$build/corpus/$1 findings=$build/findings/$1
  local log=$build/$target.log
  rm -rf "$corpus" "$findings"
  mkdir -p "$corpus" "$findings"
  if UBSAN_OPTIONS=print_stacktrace=1 "$build/tests/fuzz/kelvo4_${target}_fuzz" \
    -max_total_time=$((time > 0 ? time : 1)) -timeout=20 -rss_limit_mb=2048 -malloc_limit_mb=128 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$3" > "$log" 2>&1; then
    echo "fuzz $target: $(grep -h 'stat::number_of_executed_units' "$log" | awk '{print $2}') executions," \
      "$(grep -h 'stat::average_exec_per_sec' "$log" | awk '{print $2}')/s, no finding"
  else
    echo "fuzz $target FAILED, findings in $findings:"
    tail -n 40 "$log"
    failed=1
  fi
}
run stream 2 "$seeds/stream"
run decoder 1 tests/fuzz/corpus/decoder
run coefficients 1 "$seeds/coefficients"
run y4m 1 "$seeds/y4m"
run image 1 "$seeds/image"
exit "$failed"
