#!/usr/bin/env bash
# Builds the libraries a Windows build links, as static MinGW-w64 libraries
# for TRIPLET (x86_64-w64-mingw32, the default, or i686-w64-mingw32; its
# toolchain is cmake/TRIPLET.cmake) installed into PREFIX (include/, lib/):
# zstd, zlib and libpng from Debian's source packages of the versions
# installed here (scripts/debian-source.sh), and GoogleTest from Debian's
# googletest package (/usr/src/googletest). Done once per PREFIX.
# Usage: scripts/windows-deps.sh PREFIX [TRIPLET]
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath -m "$1")
triplet=${2:-x86_64-w64-mingw32}
[ -e "$prefix/.complete" ] && exit 0
root=$(pwd)
work=$prefix.work
rm -rf "$prefix" "$work"
mkdir -p "$prefix" "$work"
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
scripts/debian-source.sh "$work/src" libzstd=libzstd-dev zlib=zlib1g-dev libpng1.6=libpng-dev

cmake_build() {  # SOURCE-DIR BUILD-NAME OPTIONS...
  local src=$1 build=$work/build-$2
  shift 2
  cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triplet.cmake" \
    -DKELVO4_SYSROOT="$prefix" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >/dev/null
  cmake --build "$build" -j "$jobs" --target install >/dev/null
}
cmake_build "$work/src/libzstd/build/cmake" zstd -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_PROGRAMS=OFF \
  -DZSTD_BUILD_TESTS=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF -DZSTD_LEGACY_SUPPORT=OFF
# zlib is its fifteen C files (Debian's sources lack its MinGW makefile), as
# the plain libz.a that FindZLIB looks for.
(cd "$work/src/zlib" && for c in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
   inflate inftrees trees uncompr zutil; do "$triplet-gcc-posix" -O2 -c $c.c || exit 1; done &&
 "$triplet-ar" rcs libz.a ./*.o)
install -D -m 644 -t "$prefix/include" "$work/src/zlib/zlib.h" "$work/src/zlib/zconf.h"
install -D -m 644 -t "$prefix/lib" "$work/src/zlib/libz.a"
cmake_build "$work/src/libpng1.6" png -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF
cmake_build /usr/src/googletest gtest -DBUILD_GMOCK=OFF
rm -rf "$work"
touch "$prefix/.complete"
