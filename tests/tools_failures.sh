#!/bin/sh
# What the tools could not finish they do not leave behind, and never exit 0
# for: a full disk, an interrupted encode, a decode that fails on a frame.
# Usage: tools_failures.sh TOOLDIR WORKDIR
set -eu
bin=$1
work=$2
rm -rf "$work"
mkdir -p "$work/int" "$work/old"
fails() { if "$@" 2> "$work/error.log"; then exit 1; fi; }
empty() { test -z "$(ls -A "$1")"; }
# A full device by name, and standard output on one; a small stream fails
# only when flushed. Root uses a node of its own or none: a writer that took
# the device for a file would replace it.
full=/dev/full
if [ "$(id -u)" = 0 ]; then full=$work/full.klv; mknod "$full" c 1 7 || full=; fi
if [ -n "$full" ]; then
  fails "$bin/kelvo-encode" --clip 1 --size 16x16 -o "$full"
  grep -q "$full: write failed: No space left on device" "$work/error.log"
fi
fails sh -c '"$1/kelvo-encode" --clip 1 --size 16x16 -o - > /dev/full' sh "$bin"
grep -q "standard output: write failed: No space left on device" "$work/error.log"
"$bin/kelvo-encode" --clip 4 -o "$work/clip.klv" 2> "$work/encode.log"
grep -q ", $(wc -c < "$work/clip.klv") bytes" "$work/encode.log"
# Standard output as a file gets its header completed where the stream began.
{ echo skip; "$bin/kelvo-encode" --quiet --clip 4 -o -; } > "$work/after.out" 2> /dev/null
tail -c +6 "$work/after.out" | cmp - "$work/clip.klv"
# A disk that fills up on the way, where a small tmpfs can be mounted.
if [ "$(id -u)" = 0 ] && unshare -m true 2> /dev/null; then
  mkdir "$work/full"
  unshare -m sh -c 'set -e; cd "$2"; mount -t tmpfs -o size=64k tmpfs full || exit 0
    for run in "encode --clip 30 -o" "decode clip.klv" "decode --format y4m clip.klv"; do
      if "$1"/kelvo-$run full/out 2> error.log; then exit 1; fi
      grep -q "full/out.*: write failed: No space left on device" error.log
      test -z "$(ls -A full)"
    done
    "$1"/kelvo-encode --quiet --clip 40 --size 48x32 -o small.klv 2> /dev/null
    if "$1"/kelvo-decode --quiet --keep-partial small.klv full/out 2> error.log; then exit 1; fi
    test -s full/out/frame_000000.png' sh "$bin" "$work"
fi
# An interrupted encode leaves neither the stream nor its temporary.
{ while "$bin/kelvo-clip" --size 48x32 --frames 1 -; do sleep 0.1; done; } 2> /dev/null |
  env --default-signal=INT "$bin/kelvo-encode" --size 48x32 - -o "$work/int/clip.klv" 2> /dev/null &
pid=$!
i=0
while empty "$work/int" && [ $i -lt 100 ]; do sleep 0.1 && i=$((i + 1)); done
test -n "$(ls -A "$work/int")"
kill -INT $pid
status=0
wait $pid || status=$?
test $status -eq 130
empty "$work/int"
# A stream damaged in frame 3: whatever the output, frames 0 to 2 are
# written and kept, the damage named, exit status 1; an old picture past
# them stays as it was.
"$bin/kelvo-clip" --size 48x32 --frames 4 "$work/src"
"$bin/kelvo-encode" --quiet "$work/src" -o "$work/bad.klv" 2> /dev/null
"$bin/kelvo-decode" --quiet "$work/bad.klv" "$work/all.y4m"
end=$(($(wc -c < "$work/bad.klv") - 24))  # frame 3's checksum, before the index
printf '\377\377\377\377' | dd of="$work/bad.klv" bs=1 seek=$end conv=notrunc 2> /dev/null
mkdir "$work/kept"
for f in 0 1 2 3; do echo old > "$work/kept/frame_00000$f.png"; done
for out in bad.y4m bad.rgb new/f_%d.png kept; do
  fails "$bin/kelvo-decode" --quiet "$work/bad.klv" "$work/$out"
  grep -q "bad.klv: frame 3 at byte" "$work/error.log"
done
head -c $(($(wc -c < "$work/all.y4m") - 6 - 3 * 48 * 32)) "$work/all.y4m" | cmp - "$work/bad.y4m"
test "$(ls "$work/new")" = "$(printf 'f_0.png\nf_1.png\nf_2.png')"
test "$(cat "$work/kept/frame_000003.png")" = old
cmp "$work/kept/frame_000002.png" "$work/new/f_2.png"
# Past the intact frames of a cut file, the cut is the reason given.
head -c $(($(wc -c < "$work/bad.klv") / 2)) "$work/bad.klv" > "$work/cut.klv"
fails "$bin/kelvo-decode" --start 3 "$work/cut.klv" "$work/cut.rgb"
grep -q "no frame 3: the file has [0-9]* intact frames, then truncated at byte [0-9]*, frame [0-9]*: [0-9 of]* bytes$" "$work/error.log"
# The output rule: no input is written over, by any name; a pipe named as
# the output of one stream is written into and stays a pipe, and refused as
# a folder of pictures; a replaced file keeps its mode (and owner, for
# root); a new file gets 0666 less the umask; a name of 250 bytes works.
"$bin/kelvo-clip" --size 48x32 --frames 1 "$work/photo"
cp "$work/photo/frame_000000.png" "$work/p.png"
fails "$bin/kelvo-clip" --photo "$work/p.png" --format raw "$work/p.png"
grep -q "p.png: is an input; not overwriting it" "$work/error.log"
cmp "$work/p.png" "$work/photo/frame_000000.png"
fails "$bin/kelvo-encode" --size 16x16 - -o "$work/clip.klv" < "$work/clip.klv"
grep -q "clip.klv: is also an input" "$work/error.log"
mkfifo "$work/out.rgb" "$work/pics"
cat "$work/out.rgb" > "$work/fifo.rgb" &
"$bin/kelvo-decode" --quiet "$work/clip.klv" "$work/out.rgb"
wait $!
"$bin/kelvo-decode" --quiet "$work/clip.klv" "$work/file.rgb"
cmp "$work/fifo.rgb" "$work/file.rgb"
test -p "$work/out.rgb"
fails "$bin/kelvo-decode" --quiet "$work/clip.klv" "$work/pics"
grep -q "pics: is not a folder" "$work/error.log"
test -p "$work/pics"
mkdir "$work/seq" && mkfifo "$work/seq/frame_000001.png"
fails timeout 20 "$bin/kelvo-decode" --quiet "$work/clip.klv" "$work/seq"
grep -q "seq/frame_000001.png: is a pipe or device" "$work/error.log"
test "$(ls "$work/seq")" = frame_000001.png
name=$(printf '%0250d' 0)
cp "$work/clip.klv" "$work/$name"
chmod 600 "$work/$name"
if [ "$(id -u)" = 0 ]; then chown 1:1 "$work/$name"; fi
(umask 027 && "$bin/kelvo-encode" --quiet --clip 2 -o "$work/new.klv" 2> /dev/null)
(umask 027 && "$bin/kelvo-encode" --quiet --clip 2 -o "$work/$name" 2> /dev/null)
test "$(stat -c %a "$work/new.klv")" = 640
if cmp -s "$work/$name" "$work/clip.klv"; then exit 1; fi
test "$(stat -c %a "$work/$name")" = 600
if [ "$(id -u)" = 0 ]; then test "$(stat -c %u:%g "$work/$name")" = 1:1; fi
# Every tool's standard output is checked: a write that fails is exit 1.
for run in "kelvo-decode --info $work/clip.klv" kelvo-encode\ --help kelvo-clip\ --version kelvo-measure\ --version; do
  fails sh -c "$bin/$run > /dev/full"
  grep -q "standard output: write failed: No space left on device" "$work/error.log"
done
# Inputs read through a pipe by name, whose writer pauses after its first
# bytes, give what the same file gives: raw frames, a PNG, a YUV4MPEG2
# stream, and a stream to decode.
mkfifo "$work/in"
paused() {  # FILE BYTES TOOL ARGS...: the tool reads FILE through the pipe, a pause after BYTES
  file=$1 bytes=$2 tool=$3
  shift 3
  { head -c "$bytes" "$file"; sleep 0.3; tail -c +$((bytes + 1)) "$file"; } > "$work/in" &
  "$bin/$tool" --quiet "$@" > /dev/null 2>&1
  wait $!
}
"$bin/kelvo-clip" --size 48x32 --frames 3 "$work/three.rgb"
"$bin/kelvo-decode" --quiet "$work/clip.klv" "$work/clip.y4m"
for input in three.rgb p.png clip.y4m; do
  size=$(test $input != three.rgb || echo --size 48x32)
  "$bin/kelvo-encode" --quiet $size "$work/$input" -o "$work/direct.klv" 2> /dev/null
  paused "$work/$input" 5 kelvo-encode $size "$work/in" -o "$work/piped.klv"
  cmp "$work/direct.klv" "$work/piped.klv"
done
paused "$work/clip.klv" 5 kelvo-decode "$work/in" "$work/piped.rgb"
cmp "$work/file.rgb" "$work/piped.rgb"
# Pipes fed one after the other (more than a pipe holds) are each looked at
# in turn; one pipe given twice is a usage error.
"$bin/kelvo-encode" --quiet --clip 2 --size 160x120 -o "$work/big.klv" 2> /dev/null
"$bin/kelvo-decode" --quiet "$work/big.klv" "$work/big.y4m"
mkfifo "$work/in2"
timeout 30 sh -c 'cat "$1" > "$2"; cat "$1" > "$3"' sh "$work/big.y4m" "$work/in" "$work/in2" &
timeout 20 "$bin/kelvo-encode" --quiet "$work/in" "$work/in2" -o "$work/two.klv" 2> /dev/null
wait $!
"$bin/kelvo-decode" --info "$work/two.klv" | grep -q "^frames 4$"
status=0
timeout 20 "$bin/kelvo-encode" "$work/in" "$work/in" -o "$work/x.klv" 2> /dev/null || status=$?
test $status = 2
echo "failures ok"
