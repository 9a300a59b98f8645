#!/usr/bin/env bash
# Builds the library, its jar and the tools, then runs the main job: the
# built-in 320x240 clip is encoded, read back through KelvoStreamReader and
# written as PNG files to out/frames, with out/contact_sheet.png; PSNR and
# speed are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)" --target kelvo4_dist
scripts/decode-clip.sh build out 60
