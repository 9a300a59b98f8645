#!/bin/sh
# PNG folder -> stream -> pictures, the same through pipes as raw rgb24, and
# the refusals that need real files.
# Usage: tools_roundtrip.sh TOOLDIR WORKDIR
set -eu
bin=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
fails() { if "$@" 2> "$work/error.log"; then exit 1; fi; }
"$bin/kelvo-clip" --size 48x32 --frames 4 "$work/src"
"$bin/kelvo-encode" --verbose --keyint 2 "$work/src" -o "$work/clip.klv" 2> "$work/encode.log"
grep -q "frame 3: PSNR" "$work/encode.log"
grep -q "^4 frames 48x32" "$work/encode.log"
"$bin/kelvo-decode" --info "$work/clip.klv" | grep -q "^key frames 2: 0 2$"
# Threads default to the machine's cores; a stream goes only under .klv (any
# case) or a name without an extension, whatever their number.
"$bin/kelvo-encode" --help | grep -q "cores, [1-9][0-9]* here"
"$bin/kelvo-decode" --help | grep -q "cores, [1-9][0-9]* here"
"$bin/kelvo-encode" --quiet --threads 1 --keyint 2 "$work/src" -o "$work/one.KLV" 2> "$work/quiet.log"
"$bin/kelvo-encode" --quiet --keyint 2 "$work/src" -o "$work/cores" 2>> "$work/quiet.log"
cmp "$work/one.KLV" "$work/clip.klv" && cmp "$work/cores" "$work/clip.klv"
for name in out.mp4 out.png out.Y4M out.txt; do
  if "$bin/kelvo-encode" --clip 1 -o "$work/$name" 2> "$work/error.log"; then exit 1; else test $? -eq 2; fi
  grep -q "$name: kelvo-encode writes a stream (NAME.klv" "$work/error.log"
  test ! -e "$work/$name"
done
# --quiet prints nothing on success; standard error no terminal, no progress,
# only the summary; on a terminal, one line rewritten in place, erased before
# the summary (a stream that arrives slowly shows it).
"$bin/kelvo-decode" --quiet "$work/clip.klv" "$work/quiet.rgb" 2>> "$work/quiet.log"
test ! -s "$work/quiet.log"
test "$(wc -l < "$work/encode.log")" -eq 5 && ! grep -q "$(printf '\r')" "$work/encode.log"
if command -v script > /dev/null; then
  printf '%s\n' "\"$bin/kelvo-encode\" --clip 40 --size 160x120 -o \"$work/tty.klv\"" \
    "{ head -c 100000 \"$work/tty.klv\"; sleep 0.3; tail -c +100001 \"$work/tty.klv\"; } | \"$bin/kelvo-decode\" - \"$work/tty.rgb\"" \
    > "$work/tty.sh"
  script -qec "sh '$work/tty.sh'" /dev/null | tr '\r' '|' > "$work/tty.log"
  grep -q "|kelvo-encode: frame [0-9]*/40, [0-9.]* frames/s, [0-9]*:[0-9][0-9] left *|.*|40 frames 160x120" "$work/tty.log"
  grep -q "|kelvo-decode: frame [0-9/]*, [0-9.]* frames/s[^|]*|.*|kelvo-decode: 40 frames" "$work/tty.log"
fi
"$bin/kelvo-decode" --quiet "$work/clip.klv" "$work/out"
test "$(ls "$work/out" | wc -l)" -eq 4
fails "$bin/kelvo-decode" --quiet --start 4 "$work/clip.klv" "$work/past.rgb"
grep -qF "clip.klv: no frame 4 to start from: the stream has 4 frames" "$work/error.log"
# --start and --frames pick frames 1 and 2, named by their stream index; a
# seek to frame 3 (from key frame 2) gives what decoding from frame 0 gave.
"$bin/kelvo-decode" --quiet --format ppm --start 1 --frames 2 "$work/clip.klv" "$work/ppm"
test "$(ls "$work/ppm")" = "frame_000001.ppm
frame_000002.ppm"
"$bin/kelvo-decode" --quiet --start 3 "$work/clip.klv" "$work/one.png"
cmp "$work/one.png" "$work/out/frame_000003.png"
"$bin/kelvo-decode" --quiet --start 2 "$work/clip.klv" "$work/numbered/f_%020d.png"
test "$(ls "$work/numbered")" = "f_00000000000000000002.png
f_00000000000000000003.png"
# Folders are read in natural order: a9 before a10.
mkdir "$work/natural"
cp "$work/src/frame_000000.png" "$work/natural/a9.png"
cp "$work/src/frame_000001.png" "$work/natural/a10.png"
"$bin/kelvo-encode" --quiet "$work/natural" -o "$work/natural.klv" 2> /dev/null
"$bin/kelvo-encode" --quiet "$work/src/frame_000000.png" "$work/src/frame_000001.png" -o "$work/two.klv" 2> /dev/null
cmp "$work/natural.klv" "$work/two.klv"
# Raw rgb24 through pipes gives the same pictures, and --start on a pipe
# decodes its way to the frame.
"$bin/kelvo-clip" --size 48x32 --frames 4 - |
  "$bin/kelvo-encode" --quiet --keyint 2 --size 48x32 - -o - 2> /dev/null > "$work/pipe.klv"
"$bin/kelvo-decode" --quiet "$work/clip.klv" "$work/file.rgb"
"$bin/kelvo-decode" --quiet - - < "$work/pipe.klv" > "$work/pipe.rgb"
cmp "$work/file.rgb" "$work/pipe.rgb"
"$bin/kelvo-decode" --quiet --start 3 - "$work/pipe3.png" < "$work/pipe.klv"
cmp "$work/one.png" "$work/pipe3.png"
# An output that is an input is refused and left alone.
cp "$work/clip.klv" "$work/copy.klv"
for format in raw ""; do  # raw writes the file; by its name it would be a folder
  fails "$bin/kelvo-decode" ${format:+--format $format} "$work/clip.klv" "$work/clip.klv"
  grep -q "clip.klv: is the stream being decoded" "$work/error.log"
done
cmp "$work/clip.klv" "$work/copy.klv"
ln "$work/src/frame_000001.png" "$work/frame1"
fails "$bin/kelvo-encode" "$work/src" -o "$work/frame1"
grep -q "frame1: is also an input" "$work/error.log"
"$bin/kelvo-encode" --quiet --keyint 2 "$work/src" -o "$work/again.klv" 2> /dev/null
cmp "$work/clip.klv" "$work/again.klv"
# A picture that fails halfway is named, and leaves no stream behind.
cp -r "$work/src" "$work/bad"
echo junk > "$work/bad/frame_000002.png"
fails "$bin/kelvo-encode" "$work/bad" -o "$work/bad.klv"
grep -q "bad/frame_000002.png: neither a PNG" "$work/error.log"
test ! -e "$work/bad.klv"
# A cut stream fails after its intact frames, naming the file and the damage
# (with --keep-partial the intact frames stay); one without its index plays
# all its frames, and --info says it is damaged.
size=$(wc -c < "$work/clip.klv")
cut=$((size - 32 - 10))  # inside the last frame, before the index's 32 bytes
head -c $cut "$work/clip.klv" > "$work/cut.klv"
fails "$bin/kelvo-decode" --quiet --keep-partial "$work/cut.klv" "$work/cut.rgb"
grep -q "cut.klv: truncated at byte $cut, frame 3: " "$work/error.log"
test "$(wc -c < "$work/cut.rgb")" -eq $((3 * 48 * 32 * 3))
head -c $((size - 32)) "$work/clip.klv" > "$work/noindex.klv"
fails "$bin/kelvo-decode" --quiet --keep-partial "$work/noindex.klv" "$work/noindex.rgb"
grep -q "noindex.klv: truncated at byte $((size - 32)): the key frame index" "$work/error.log"
test "$(wc -c < "$work/noindex.rgb")" -eq $((4 * 48 * 32 * 3))
if "$bin/kelvo-decode" --info "$work/noindex.klv" > "$work/info.txt"; then exit 1; fi
grep -q "^frames 4 intact, then damaged$" "$work/info.txt"
# kelvo-measure's bytes are those of the stream kelvo-encode writes for the
# same clip, and its temporary file goes; --compare gives kelvo-encode's PSNR.
"$bin/kelvo-clip" --photo "$work/src/frame_000000.png" --frames 6 "$work/photo.rgb"
"$bin/kelvo-encode" --size 320x240 "$work/photo.rgb" -o "$work/photo.klv" 2> "$work/encode.log"
mkdir "$work/tmp"
TMPDIR="$work/tmp" "$bin/kelvo-measure" --photo "$work/src/frame_000000.png" --frames 6 > "$work/measure.txt"
grep -q ", $(wc -c < "$work/photo.klv") bytes, " "$work/measure.txt"
test -z "$(ls -A "$work/tmp")"
psnr=$(sed -n 's/.*mean PSNR \([0-9.]*\) dB.*/\1/p' "$work/encode.log")
"$bin/kelvo-decode" --quiet "$work/photo.klv" - | "$bin/kelvo-measure" --compare "$work/photo.rgb" - --size 320x240 |
  grep -q "^6 frames 320x240: PSNR $psnr dB, frames 5+ "
echo "round trip ok"
