#!/usr/bin/env bash
# Builds the library and its jar, then runs the main job: a synthetic clip is
# encoded, decoded through KelvoDecoder and written as PNG files to out/frames.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)" --target kelvo4_demo_jar
java -jar build/Kelvo4-demo.jar out/frames
