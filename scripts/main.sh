#!/usr/bin/env bash
# Builds the library and runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)" --target kelvo4-demo
build/tools/kelvo4-demo
