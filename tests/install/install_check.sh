#!/usr/bin/env bash
# Installs the build into a scratch prefix, then configures, builds and runs
# a consumer project against it.
set -euo pipefail
build=$1 source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for jar in Kelvo4 Kelvo4-sources Kelvo4-javadoc; do test -f "$scratch/prefix/share/java/$jar.jar"; done
test -x "$scratch/prefix/bin/kelvo-decode"
cmake -S "$source" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/consumer/consumer"
echo "installed package found, linked and run"
