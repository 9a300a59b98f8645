#!/usr/bin/env bash
# Encoding and playback speed as a user sees them, beside Debian's ffmpeg in
# the same run: wall clock of whole commands on 1920x1080 clips cut from
# natural photographs (scripts/photos.sh), two pans and a still, the median
# of RUNS runs, the coders taking turns.
#   encode: ffmpeg's Motion JPEG (-q:v 3, two threads) from raw rgb24;
#           kelvo-encode --threads 2 from a YUV4MPEG2 stream at the default
#           quality and from the raw frames at qualities 20 to 90.
#   play:   ffmpeg decoding VP9 (one thread) and Motion JPEG to rgb24 on a
#           pipe; kelvo-decode --threads 1 and 2 the same way (the stream of
#           the default quality).
# With BASE_BUILD_DIR, every kelvo command also runs with that build's
# tools, in the same turns: before and after a change, side by side.
# Usage: scripts/measure-speed.sh [BUILD_DIR [BASE_BUILD_DIR]]   (FRAMES=60 RUNS=3 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$build/tools
base=${2:+$2/tools}
for dir in $bin $base; do
  for tool in encode decode; do
    [ -x "$dir/kelvo-$tool" ] || { echo "$dir/kelvo-$tool not found: build first" >&2; exit 1; }
  done
done
[ -x "$bin/kelvo-clip" ] || { echo "$bin/kelvo-clip not found: build first (cmake --build $build)" >&2; exit 1; }
command -v ffmpeg > /dev/null || { echo "ffmpeg is needed (Debian package ffmpeg)" >&2; exit 1; }
. scripts/photos.sh
unpack_natural

frames=${FRAMES:-60}
runs=${RUNS:-3}
size=1920x1080
qualities="20 30 40 50 60 70 80 90"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Seconds of one run of a command line (output to /dev/null).
seconds() {
  local start end
  start=$(date +%s.%N)
  bash -c "$1" > /dev/null 2>&1 || { echo "failed: $1" >&2; exit 1; }
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Runs the labelled command lines in turn, runs times, and prints each one's
# median frames/s and its ratio to the first line's.
race() {
  local -a labels=() lines=() times=()
  while [ $# -gt 0 ]; do labels+=("$1"); lines+=("$2"); times+=(""); shift 2; done
  for ((r = 0; r < runs; r++)); do
    for i in "${!lines[@]}"; do times[$i]+=" $(seconds "${lines[$i]}")"; done
  done
  local base=""
  for i in "${!lines[@]}"; do
    local m fps
    m=$(echo "${times[$i]}" | median)
    fps=$(echo "$frames / $m" | bc -l)
    [ -z "$base" ] && base=$fps
    printf "  %-34s %7.2f s %7.1f frames/s %6.2fx\n" "${labels[$i]}" "$m" "$fps" "$(echo "$fps / $base" | bc -l)"
  done
}

clips=(
  "path-pan --photo $photos/natural/Path.png --motion pan"
  "moss-pan --photo $photos/natural/OneStandsOut.png --motion pan"
  "boats-still --photo $photos/natural/EveningGlow.png --motion still"
)
echo "$size, $frames frames per clip, median of $runs runs; $(nproc) cores"
for entry in "${clips[@]}"; do
  set -- $entry
  name=$1
  shift
  raw=$work/$name.rgb
  "$bin/kelvo-clip" "$@" --size "$size" --frames "$frames" --format raw "$raw"
  ffmpeg -v error -y -f rawvideo -pix_fmt rgb24 -s "$size" -i "$raw" -pix_fmt yuv420p -f yuv4mpegpipe "$work/$name.y4m"
  echo "$name: encode (ratios to the first line)"
  args=("ffmpeg Motion JPEG -q:v 3" "ffmpeg -v error -y -threads 2 -f rawvideo -pix_fmt rgb24 -s $size -i $raw -c:v mjpeg -pix_fmt yuvj420p -q:v 3 -f mjpeg $work/m.mjpeg")
  # Each kelvo line for this build and, after it, the base build.
  # The base build writes streams of its own (NAME.base.klv); both play this
  # build's.
  kelvo() {  # label, tool, arguments[, the stream it writes]
    args+=("$1" "$bin/$2 $3${4:+ -o $4.klv}")
    [ -z "$base" ] || args+=("$1 (base)" "$base/$2 $3${4:+ -o $4.base.klv}")
  }
  kelvo "kelvo-encode y4m q50" kelvo-encode "--threads 2 $work/$name.y4m" "$work/y"
  for q in $qualities; do
    kelvo "kelvo-encode raw q$q" kelvo-encode "--size $size --threads 2 --quality $q $raw" "$work/q$q"
  done
  race "${args[@]}"
  echo "$name: play to rgb24 on a pipe ($(stat -c %s "$work/q50.klv") bytes at q50; ratios to the first line)"
  ffmpeg -v error -y -f rawvideo -pix_fmt rgb24 -s "$size" -i "$raw" -c:v libvpx-vp9 -deadline realtime -cpu-used 8 \
    -b:v 0 -crf 30 -row-mt 1 "$work/v.webm"
  args=("ffmpeg VP9, one thread" "ffmpeg -v error -threads 1 -i $work/v.webm -f rawvideo -pix_fmt rgb24 - | cat > /dev/null"
        "ffmpeg Motion JPEG, one thread" "ffmpeg -v error -threads 1 -i $work/m.mjpeg -f rawvideo -pix_fmt rgb24 - | cat > /dev/null")
  for t in 1 2; do
    kelvo "kelvo-decode --threads $t" kelvo-decode "--quiet --threads $t $work/q50.klv - | cat > /dev/null"
  done
  race "${args[@]}"
done
