#!/usr/bin/env bash
# Measures the encoder on clips cut from photographs that Debian's
# python3-skimage package ships (downloaded and unpacked here, never kept in
# the tree): a slow pan, a slow zoom and a still at 320x240, 256x256 and
# 1280x720, and a clip with a cut. Prints, per clip, the first frame's PSNR,
# the mean of frames 5 to 29, the stream file's bytes and bits per pixel and
# the cap that unquantised residuals would reach.
# Usage: scripts/measure-encoder.sh [BUILD_DIR] [QUALITY]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
quality=${2:-50}
. scripts/photos.sh
unpack_photos
measure="$build/tools/kelvo-measure"
for size in 320x240 256x256 1280x720; do
  for photo in coffee astronaut chelsea; do
    for motion in pan zoom still; do
      "$measure" --photo "$photos/data/$photo.png" --motion "$motion" --size "$size" --quality "$quality"
    done
  done
done
"$measure" --photo "$photos/data/coffee.png" --cut "$photos/data/astronaut.png" 15 --quality "$quality"
"$measure" --photo "$photos/data/chelsea.png" --cut "$photos/data/coffee.png" 15 --motion zoom --quality "$quality"
