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
# The commands kelvo-decode gives for names it refuses run as given: an mp4
# in 4:2:0 tagged as the frames are (its odd size padded), a JPEG of the
# first frame.
for name in out.mp4 out.jpg; do
  if "$bin/kelvo-decode" s.klv "$name" 2> "$work/hint"; then exit 1; fi
  (PATH="$(cd "$bin" && pwd):$PATH" && cd "$work" && sh -c "$(sed -n "s/.* from a stream: //; s/STREAM/s.klv/p" "$work/hint")" 2> /dev/null)
done
test "$(ffprobe -v error -show_entries stream=width,pix_fmt,color_range,color_space,color_transfer,color_primaries,nb_frames \
  -of csv=p=0 "$work/out.mp4")" = "100,yuv420p,tv,smpte170m,iec61966-2-1,bt709,10"
ffprobe -v error -show_entries stream=width -of csv=p=0 "$work/out.jpg" | grep -q "^99$"
# So does the command kelvo-encode gives for a picture it does not read.
ffmpeg -v error -f lavfi -i testsrc=size=99x75 -frames:v 1 "$work/s.bmp"
if "$bin/kelvo-encode" "$work/s.bmp" -o "$work/bmp.klv" 2> "$work/hint"; then exit 1; fi
(PATH="$(cd "$bin" && pwd):$PATH" && cd "$work" &&
  sh -c "$(sed -n "s/.* through ffmpeg: //; s/INPUT/s.bmp/; s/STREAM/bmp.klv/p" "$work/hint")" 2> /dev/null)
"$bin/kelvo-decode" --info "$work/bmp.klv" | grep -q "^frames 1$"
# ffmpeg's JPEG of a frame codes as what ffmpeg decodes it to does (within
# their two decoders' upsampling of chroma), and one cut short is refused
# (where the build reads JPEG: it says when it does not).
ffmpeg -v error -f lavfi -i testsrc=size=99x75 -frames:v 1 "$work/s.jpg"
"$bin/kelvo-encode" "$work/s.jpg" -o "$work/jpeg.klv" 2> "$work/jpeg.log" || true
if ! grep -q "built without libturbojpeg" "$work/jpeg.log"; then
  ffmpeg -v error -i "$work/s.jpg" "$work/jpeg.png"
  "$bin/kelvo-encode" --quiet "$work/jpeg.png" -o "$work/png.klv" 2> /dev/null
  "$bin/kelvo-decode" --quiet "$work/jpeg.klv" "$work/jpeg-decoded.png"
  "$bin/kelvo-decode" --quiet "$work/png.klv" "$work/png-decoded.png"
  psnr=$(ffmpeg -hide_banner -i "$work/png-decoded.png" -i "$work/jpeg-decoded.png" -lavfi "[0:v][1:v]psnr" -f null - 2>&1 |
         sed -n 's/.*PSNR .* average:\([0-9.]*\).*/\1/p')
  echo "JPEG: PSNR $psnr dB against ffmpeg's decoding of it, both coded (floor 30)"
  awk -v p="$psnr" 'BEGIN { exit !(p != "" && p + 0 >= 30) }'
  head -c 500 "$work/s.jpg" > "$work/cut.jpg"
  if "$bin/kelvo-encode" "$work/cut.jpg" -o "$work/cut.klv" 2> "$work/jpeg.log"; then exit 1; fi
  grep -q "cut.jpg: cannot decode JPEG" "$work/jpeg.log"
fi
echo "ffmpeg round trip ok"
