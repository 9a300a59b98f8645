#!/bin/sh
# PNG folder -> stream -> PNG folder, and the same through pipes as raw rgb24.
# Usage: tools_roundtrip.sh TOOLDIR WORKDIR
set -eu
bin=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
"$bin/kelvo-clip" --size 48x32 --frames 4 "$work/src"
"$bin/kelvo-encode" "$work/src" -o "$work/clip.klv" 2> "$work/encode.log"
grep -q "frame 3: PSNR" "$work/encode.log"
grep -q "^4 frames 48x32" "$work/encode.log"
"$bin/kelvo-decode" --quiet "$work/clip.klv" "$work/out"
test "$(ls "$work/out" | wc -l)" -eq 4
test -f "$work/out/frame_000003.png"
# --start and --frames pick frames 1 and 2, named by their stream index.
"$bin/kelvo-decode" --quiet --format ppm --start 1 --frames 2 "$work/clip.klv" "$work/ppm"
test "$(ls "$work/ppm")" = "frame_000001.ppm
frame_000002.ppm"
# Raw rgb24 through pipes gives the same stream and the same pictures.
"$bin/kelvo-clip" --size 48x32 --frames 4 - | "$bin/kelvo-encode" --quiet --size 48x32 - -o - 2> /dev/null > "$work/pipe.klv"
cmp "$work/clip.klv" "$work/pipe.klv"
"$bin/kelvo-decode" "$work/pipe.klv" - 2> /dev/null > "$work/out.rgb"
test "$(wc -c < "$work/out.rgb")" -eq $((4 * 48 * 32 * 3))
"$bin/kelvo-encode" --quiet --size 48x32 "$work/out.rgb" -o "$work/again.klv" 2> /dev/null
# A stream cut inside its last frame is refused, naming the file and offset.
head -c 5000 "$work/clip.klv" > "$work/cut.klv"
if "$bin/kelvo-decode" --quiet "$work/cut.klv" "$work/cut" 2> "$work/cut.log"; then exit 1; fi
grep -q "cut.klv: at byte 4880: short frame 2: 120 of 2304 bytes" "$work/cut.log"
echo "round trip ok"
