#!/usr/bin/env bash
# The main job on an existing build: renders the built-in clip, encodes it and
# plays the stream through KelvoStreamReader (Kelvo4-player.jar) into PNG
# frames and a contact sheet, printing PSNR against the clip and the decode
# speed.
# Usage: scripts/decode-clip.sh BUILD_DIR OUTPUT_DIR [FRAMES]
set -euo pipefail
build=$1
out=$2
frames=${3:-60}
rm -rf "$out/clip" "$out/frames" "$out/clip.klv" "$out/contact_sheet.png"
mkdir -p "$out"
"$build/tools/kelvo-clip" --size 320x240 --frames "$frames" "$out/clip"
"$build/tools/kelvo-encode" "$out/clip" -o "$out/clip.klv"
java -jar "$build/Kelvo4-player.jar" --source "$out/clip" --sheet "$out/contact_sheet.png" "$out/clip.klv" "$out/frames"
