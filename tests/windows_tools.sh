#!/usr/bin/env bash
# The Windows tools under Wine beside the Linux ones: from the same pictures
# both write the same stream file byte for byte, and each decodes it to the
# same frames (PNG pictures too, and at every level of the decoder's stages);
# YUV4MPEG2 and raw rgb24 go through standard input and output (binary, not
# text mode); names are UTF-8 (a folder and files named in several scripts);
# a stream is written over an existing file; an interrupt (Ctrl-C, which Wine
# makes of SIGINT) leaves neither the stream nor its temporary.
# Usage: WINEPREFIX=DIR [WINEARCH=win32] tests/windows_tools.sh LINUX-TOOLS WINDOWS-TOOLS WORKDIR
set -euo pipefail
linux=$1 windows=$2 work=$3
runner=$(cd "$(dirname "$0")/.." && pwd)/scripts/wine.sh
win() { local tool=$1; shift; "$runner" "$windows/$tool.exe" "$@"; }
rm -rf "$work"
dir="$work/clip é 漢字 🎥"
mkdir -p "$dir" "$work/int"

"$linux/kelvo-clip" --size 100x60 --frames 12 "$dir/pictures ü" >/dev/null
"$linux/kelvo-encode" --quiet --keyint 5 "$dir/pictures ü" -o "$work/linux.klv" 2>/dev/null
echo "not a stream" >"$dir/stream ß.klv"
win kelvo-encode --quiet --keyint 5 "$dir/pictures ü" -o "$dir/stream ß.klv" 2>/dev/null
cmp "$work/linux.klv" "$dir/stream ß.klv"
test -z "$(ls -A "$dir" | grep '^\.')"  # no temporary left
for format in raw y4m; do
  a=$("$linux/kelvo-decode" --quiet --format $format "$work/linux.klv" - | sha256sum)
  b=$(win kelvo-decode --quiet --format $format "$dir/stream ß.klv" - | sha256sum)
  [ "$a" = "$b" ] || { echo "the $format frames differ" >&2; exit 1; }
done
# At every level of the decoder's stages, as the Java suites run them on Linux:
# SSSE3 without AVX2, SSE2, MMX and the scalar code.
raw=$("$linux/kelvo-decode" --quiet "$work/linux.klv" - | sha256sum)
for mask in 3 1 0x10 0; do
  b=$(KELVO4_CPU_MASK=$mask win kelvo-decode --quiet --threads 2 "$dir/stream ß.klv" - | sha256sum)
  [ "$raw" = "$b" ] || { echo "the frames differ at KELVO4_CPU_MASK=$mask" >&2; exit 1; }
done
# Pictures into new folders (made with their parents).
"$linux/kelvo-decode" --quiet "$work/linux.klv" "$work/linux-frames"
win kelvo-decode --quiet "$dir/stream ß.klv" "$dir/frames ö/png"
diff -r "$work/linux-frames" "$dir/frames ö/png"
# Standard input as YUV4MPEG2, standard output as a file (its header
# patched) and as a pipe.
"$linux/kelvo-decode" --quiet --format y4m "$work/linux.klv" "$work/clip.y4m"
"$linux/kelvo-encode" --quiet --keyint 5 - -o - <"$work/clip.y4m" >"$work/linux-y4m.klv" 2>/dev/null
win kelvo-encode --quiet --keyint 5 - -o - <"$work/clip.y4m" >"$work/windows-y4m.klv" 2>/dev/null
cmp "$work/linux-y4m.klv" "$work/windows-y4m.klv"
win kelvo-encode --quiet --keyint 5 - -o - <"$work/clip.y4m" 2>/dev/null | cmp - <("$linux/kelvo-encode" --quiet \
  --keyint 5 - -o - <"$work/clip.y4m" 2>/dev/null | cat)
echo "windows tools: the streams and frames equal the Linux tools' byte for byte"

# An interrupted encode leaves nothing behind.
{ while "$linux/kelvo-clip" --size 48x32 --frames 1 -; do sleep 0.1; done; } 2>/dev/null |
  env --default-signal=INT "$runner" "$windows/kelvo-encode.exe" --size 48x32 - -o "$work/int/clip.klv" 2>/dev/null &
pid=$!
for _ in $(seq 100); do [ -z "$(ls -A "$work/int")" ] || break; sleep 0.1; done
test -n "$(ls -A "$work/int")"
kill -INT $pid
status=0
wait $pid || status=$?
[ $status -ne 0 ] && [ -z "$(ls -A "$work/int")" ] || { echo "interrupt: status $status, left: $(ls -A "$work/int")" >&2; exit 1; }
echo "windows tools: an interrupt leaves neither the stream nor its temporary"
