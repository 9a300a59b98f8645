#!/bin/sh
# Through ffmpeg's pipes: its own test pattern as YUV4MPEG2 into kelvo-encode,
# kelvo-decode's YUV4MPEG2 back into ffmpeg, and ffmpeg's PSNR between its
# source and our frames, at whole macroblocks and at odd sizes, for 4:2:0
# (limited range, the default) and grey (full range, no chroma).
# Usage: ffmpeg_y4m.sh TOOLDIR WORKDIR
set -eu
bin=$1
work=$2
command -v ffmpeg > /dev/null || { echo "ffmpeg not found (scripts/deps.sh installs it)"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
# Size, pixel format, the PSNR compared (ffmpeg resamples odd-sized chroma at
# another ratio than 2: only luma there) and its floor in dB, 1.5 dB below
# what was measured: 34.6, 32.9, 30.4, 37.4 and 46.8 (testsrc2 is all sharp
# edges).
for case in "176x144 yuv420p average 33" "120x90 yuv420p average 31.5" "120x90 yuv444p average 29" "99x75 yuv420p y 36" "99x75 gray average 45"; do
  set -- $case
  src="testsrc2=size=128x96:rate=25,scale=$1,format=$2"
  ffmpeg -v error -f lavfi -i "$src" -frames:v 10 -f yuv4mpegpipe - | "$bin/kelvo-encode" --quiet - -o "$work/s.klv" 2> /dev/null
  "$bin/kelvo-decode" --info "$work/s.klv" > "$work/info"
  grep -q "^frame rate 25/1" "$work/info"
  grep -q "^frames 10$" "$work/info"
  "$bin/kelvo-decode" --quiet "$work/s.klv" - --format y4m |
    ffmpeg -hide_banner -f lavfi -i "$src" -i - -lavfi "[0:v]trim=end_frame=10[a];[1:v]format=$2[b];[a][b]psnr" -f null - 2> "$work/psnr"
  grep -q "frame= *10 " "$work/psnr"
  psnr=$(grep "PSNR y:" "$work/psnr" | grep -o " $3:[0-9.]*" | cut -d: -f2)
  echo "$1 $2: PSNR $3 $psnr dB (floor $4)"
  awk -v p="$psnr" -v f="$4" 'BEGIN { exit !(p != "" && p + 0 >= f) }'
done
# What goes back to ffmpeg keeps the frame rate.
"$bin/kelvo-decode" --quiet "$work/s.klv" "$work/s.y4m"
head -c 40 "$work/s.y4m" | grep -q "^YUV4MPEG2 W99 H75 F25:1 "
echo "ffmpeg round trip ok"
