#!/usr/bin/env bash
# Builds the libraries the Windows build links, as static MinGW-w64 libraries
# installed into PREFIX (include/, lib/): zstd, zlib and libpng from Debian's
# source packages of the versions installed here (fetched with apt-get source
# through an apt configuration of this script's own, whose deb-src entries
# repeat the system's deb ones: nothing under /etc changes), and GoogleTest
# from Debian's googletest package (/usr/src/googletest). Done once per PREFIX.
# Usage: scripts/windows-deps.sh PREFIX
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath -m "$1")
[ -e "$prefix/.complete" ] && exit 0
root=$(pwd)
work=$prefix.work
rm -rf "$prefix" "$work"
mkdir -p "$prefix" "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/sources" "$work/src"
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

# The system's deb entries as deb-src, in either format.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] && sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' "$f" >>"$work/apt/sources/src.list"
done
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && grep -q debian "$f" && sed 's/^Types: *deb$/Types: deb-src/' "$f" >"$work/apt/sources/$(basename "$f")"
done
apt=(-o APT::Sandbox::User=root -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/apt/sources"
     -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache")
apt-get "${apt[@]}" update >/dev/null

# Source package NAME at the version of the installed binary package BINARY,
# or, when the archive no longer serves that (a security update's sources
# can be missing from a mirror), at the release's own version.
fetch() {
  local name=$1 version codename dsc
  version=$(dpkg-query -W -f='${Version}' "$2:$(dpkg --print-architecture)")
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  cd "$work/src"
  if ! apt-get "${apt[@]}" source --download-only "$name=$version" >/dev/null 2>&1; then
    echo "windows-deps: $name $version cannot be fetched; taking $codename's" >&2
    apt-get "${apt[@]}" source --download-only "$name/$codename" >/dev/null
  fi
  dsc=$(ls ./"${name}"_*.dsc)
  dpkg-source -x --no-check "$dsc" "$name" >/dev/null
  cd "$root"
}
fetch libzstd libzstd-dev
fetch zlib zlib1g-dev
fetch libpng1.6 libpng-dev

cmake_build() {  # SOURCE-DIR BUILD-NAME OPTIONS...
  local src=$1 build=$work/build-$2
  shift 2
  cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake" \
    -DKELVO4_SYSROOT="$prefix" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >/dev/null
  cmake --build "$build" -j "$jobs" --target install >/dev/null
}
cmake_build "$work/src/libzstd/build/cmake" zstd -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_PROGRAMS=OFF \
  -DZSTD_BUILD_TESTS=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF -DZSTD_LEGACY_SUPPORT=OFF
# zlib is its fifteen C files (Debian's sources lack its MinGW makefile), as
# the plain libz.a that FindZLIB looks for.
(cd "$work/src/zlib" && for c in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
   inflate inftrees trees uncompr zutil; do x86_64-w64-mingw32-gcc-posix -O2 -c $c.c || exit 1; done &&
 x86_64-w64-mingw32-ar rcs libz.a ./*.o)
install -D -m 644 -t "$prefix/include" "$work/src/zlib/zlib.h" "$work/src/zlib/zconf.h"
install -D -m 644 -t "$prefix/lib" "$work/src/zlib/libz.a"
cmake_build "$work/src/libpng1.6" png -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF
cmake_build /usr/src/googletest gtest -DBUILD_GMOCK=OFF
rm -rf "$work"
touch "$prefix/.complete"
