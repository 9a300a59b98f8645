#!/bin/sh
# Inputs that claim a 26000x26000 frame (a YUV4MPEG2 or PPM header, --size)
# or a large PNG, and hold a few bytes: refused before the frame is
# allocated, from a file or a pipe, within 100 MB of address space. Text from
# an input shows escaped in the message (--max-pixels 0 lifts the limit on
# pixels, which refuses them all by default). A lying key frame index is
# damage.
# Usage: tools_bad_input.sh TOOLDIR WORKDIR
set -eu
bin=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
refused() {  # MESSAGE STDIN TOOL ARGS...: fails with MESSAGE, reading STDIN through a pipe
  message=$1 input=$2 tool=$3
  shift 3
  # One thread: the threads of a machine's cores would take their stacks' address space.
  if cat "$input" | (ulimit -v 100000 && exec "$tool" --threads 1 "$@") 2> "$work/error.log"; then exit 1; fi
  grep -qF -- "$message" "$work/error.log" || { cat "$work/error.log"; exit 1; }
}
printf 'YUV4MPEG2 W26000 H26000 C444\nFRAME\nabc' > "$work/lie.y4m"
refused "lie.y4m: frame 0: short frame: 3 of 2028000000 bytes" /dev/null "$bin/kelvo-encode" --max-pixels 0 "$work/lie.y4m" -o "$work/x.klv"
refused "-: frame 0: short frame: 3 of 2028000000 bytes" "$work/lie.y4m" "$bin/kelvo-encode" --max-pixels 0 - -o "$work/x.klv"
head -c 1000 /dev/zero > "$work/lie.rgb"
refused "1000 bytes are not a whole number of 26000x26000 rgb24 frames" /dev/null "$bin/kelvo-encode" --size 26000x26000 "$work/lie.rgb" -o "$work/x.klv"
refused "short frame 0: 1000 of 2028000000 bytes" "$work/lie.rgb" "$bin/kelvo-encode" --size 26000x26000 - -o "$work/x.klv"
printf 'P6 26000 26000 255\nabc' > "$work/lie.ppm"
refused "PPM pixel data is truncated: 3 of 2028000000 bytes" /dev/null "$bin/kelvo-encode" --max-pixels 0 "$work/lie.ppm" -o "$work/x.klv"
# 26000x26000 RGB in 8 bytes of image data; 8192x8192 at one bit a pixel in 9 kB of zeros, which are no image data.
printf '\211PNG\15\12\32\12\0\0\0\15IHDR\0\0e\220\0\0e\220\10\2\0\0\0\220),\327\0\0\0\0IDAT' > "$work/lie.png"
refused "lie.png: PNG is too short" /dev/null "$bin/kelvo-encode" --max-pixels 0 "$work/lie.png" -o "$work/x.klv"
{ printf '\211PNG\15\12\32\12\0\0\0\15IHDR\0\0 \0\0\0 \0\1\0\0\0\0Z\321\367\364\0\0\44\0IDAT'; head -c 9216 /dev/zero; } > "$work/lie1.png"
refused "lie1.png: PNG image data of 8192x8192 is truncated or damaged" /dev/null "$bin/kelvo-encode" "$work/lie1.png" -o "$work/x.klv"
# A PNG through a pipe is read no further than a PNG of its size reaches.
"$bin/kelvo-clip" --size 16x16 --frames 1 "$work/photo" 2> /dev/null
{ cat "$work/photo/frame_000000.png"; head -c 17000000 /dev/zero; } > "$work/pad.png"
refused "/dev/stdin: PNG of 16x16 in more than" "$work/pad.png" "$bin/kelvo-encode" /dev/stdin -o "$work/x.klv"
# A stream header that claims 32768x21840 and no frame count, without frames.
{ printf 'KLV4\2\0\0\0\0\200\0\0\120\125\0\0\0\200\0\0\120\125\0\0'; head -c 8 /dev/zero; printf '\377\377\377\377'; head -c 12 /dev/zero; } > "$work/lie.klv"
refused "standard input: has no frames" "$work/lie.klv" "$bin/kelvo-decode" --max-pixels 0 - "$work/x.rgb"
# By default the same headers are refused for their size alone, before
# anything is read or allocated, saying how to raise the limit; a size the
# encoder cannot take is refused before a PNG is decoded.
limit="is more than the 67108864 pixels this reader is set to accept (--max-pixels raises the limit)"
refused "standard input: at byte 8: a picture of 32768x21840 $limit" "$work/lie.klv" "$bin/kelvo-decode" - "$work/x.rgb"
refused "lie.png: PNG: a picture of 26000x26000 $limit" /dev/null "$bin/kelvo-encode" "$work/lie.png" -o "$work/x.klv"
refused "-: a picture of 26000x26000 $limit" "$work/lie.y4m" "$bin/kelvo-encode" - -o "$work/x.klv"
printf '\211PNG\15\12\32\12\0\0\0\15IHDR\0\0\200\0\0\0\200\0\10\2\0\0\0\113\36\64\50\0\0\0\0IDAT' > "$work/huge.png"
refused "huge.png: PNG: unsupported size 32768x32768" /dev/null "$bin/kelvo-encode" --max-pixels 0 "$work/huge.png" -o "$work/x.klv"
# A signature alone says the same from a file and from a pipe.
printf 'YUV4MPEG2 ' > "$work/signature.y4m"
refused "signature.y4m: the stream ends inside the header line" /dev/null "$bin/kelvo-encode" "$work/signature.y4m" -o "$work/x.klv"
refused "-: the stream ends inside the header line" "$work/signature.y4m" "$bin/kelvo-encode" - -o "$work/x.klv"
printf 'YUV4MPEG2 W16 H16 C444\r\n' > "$work/crlf.y4m"
refused "crlf.y4m: colour space 'C444\\r' is not supported" /dev/null "$bin/kelvo-encode" "$work/crlf.y4m" -o "$work/x.klv"
# An index entry with a wrong frame number at a key frame's record (frame 4
# listed as 6): damage, and the key frames the records hold.
"$bin/kelvo-encode" --quiet --clip 12 --size 32x16 --keyint 4 -o "$work/index.klv"
size=$(wc -c < "$work/index.klv")
printf '\6' | dd of="$work/index.klv" bs=1 seek=$((size - 24)) conv=notrunc 2> /dev/null
if "$bin/kelvo-decode" --info "$work/index.klv" > "$work/info.log" 2> "$work/error.log"; then exit 1; fi
grep -qF "entry 1 (frame 6 at byte" "$work/info.log" && grep -q "key frames 3: 0 4 8" "$work/info.log" ||
  { cat "$work/info.log" "$work/error.log"; exit 1; }
echo "bad input ok"
