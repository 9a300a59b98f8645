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
    done' sh "$bin" "$work"
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
# A decode failing on frame 3 leaves nothing it created (a folder that was
# there stays as it was, old pictures in it too); with --keep-partial,
# frames 0 to 2.
"$bin/kelvo-clip" --size 48x32 --frames 4 "$work/src"
"$bin/kelvo-encode" --quiet "$work/src" -o "$work/bad.klv" 2> /dev/null
"$bin/kelvo-decode" --quiet "$work/bad.klv" "$work/all.y4m"
end=$(($(wc -c < "$work/bad.klv") - 24))  # frame 3's checksum, before the index
printf '\377\377\377\377' | dd of="$work/bad.klv" bs=1 seek=$end conv=notrunc 2> /dev/null
touch "$work/old/mine"
mkdir "$work/kept"
for f in 0 1 2 3; do echo old > "$work/kept/frame_00000$f.png"; done
for out in bad.y4m bad.rgb new/f_%d.png old kept; do
  fails "$bin/kelvo-decode" --quiet "$work/bad.klv" "$work/$out"
  grep -q "bad.klv: frame 3 at byte" "$work/error.log"
done
test "$(ls -A "$work/old")" = mine
test "$(cat "$work"/kept/*)" = "$(printf 'old\nold\nold\nold')"
test "$(ls -A "$work/kept" | wc -l)" -eq 4
test -z "$(ls -A "$work" | grep -e '^\.' -e '^bad\.[ry]' -e '^new$')"
fails "$bin/kelvo-decode" --quiet --keep-partial "$work/bad.klv" "$work/bad.y4m"
head -c $(($(wc -c < "$work/all.y4m") - 6 - 3 * 48 * 32)) "$work/all.y4m" | cmp - "$work/bad.y4m"
fails "$bin/kelvo-decode" --quiet --keep-partial "$work/bad.klv" "$work/new/f_%d.png"
test "$(ls "$work/new")" = "f_0.png
f_1.png
f_2.png"
echo "failures ok"
