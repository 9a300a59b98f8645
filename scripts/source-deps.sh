#!/usr/bin/env bash
# Builds libraries the project links for a cross target that has no Debian
# packages of them here, as static libraries installed into PREFIX
# (include/, lib/), with the toolchain file cmake/TRIPLET.cmake: zstd, zlib
# and libpng from Debian's source packages of the versions installed here
# (scripts/debian-source.sh), and GoogleTest from Debian's googletest package
# (/usr/src/googletest). LIBRARY is zstd, zlib, png or gtest; all four when
# none is named. Done once per PREFIX.
# Usage: scripts/source-deps.sh TRIPLET PREFIX [LIBRARY...]
#   e.g. scripts/source-deps.sh x86_64-w64-mingw32 build-windows/deps
set -euo pipefail
cd "$(dirname "$0")/.."
triplet=$1 prefix=$(realpath -m "$2")
shift 2
libraries=("$@")
[ ${#libraries[@]} -eq 0 ] && libraries=(zstd zlib png gtest)
[ -e "$prefix/.complete" ] && exit 0
root=$(pwd)
toolchain=$root/cmake/$triplet.cmake
[ -f "$toolchain" ] || { echo "source-deps: no toolchain file $toolchain" >&2; exit 2; }
# The toolchain's C compiler and archiver, for zlib's plain files: MinGW-w64's
# of the posix thread model (cmake/mingw-w64.cmake).
cc=$triplet-gcc
[[ $triplet == *-w64-mingw32 ]] && cc=$triplet-gcc-posix
ar=$triplet-ar
# Linux programs are position-independent by default: so must the archives'
# objects be that they link. zlib's configure would also have found
# unistd.h there (its file functions declared, lseek's offset not cut to an
# int).
zlib_flags=()
grep -q 'CMAKE_SYSTEM_NAME Linux' "$toolchain" && zlib_flags=(-fPIC -DHAVE_UNISTD_H -DHAVE_STDARG_H)
work=$prefix.work
rm -rf "$prefix" "$work"
mkdir -p "$prefix" "$work"
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
wants() { [[ " ${libraries[*]} " == *" $1 "* ]]; }
sources=()
wants zstd && sources+=(libzstd=libzstd-dev)
wants zlib && sources+=(zlib=zlib1g-dev)
wants png && sources+=(libpng1.6=libpng-dev)
[ ${#sources[@]} -eq 0 ] || scripts/debian-source.sh "$work/src" "${sources[@]}"

cmake_build() {  # SOURCE-DIR BUILD-NAME OPTIONS...
  local src=$1 build=$work/build-$2
  shift 2
  cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKELVO4_SYSROOT="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON "$@" >/dev/null
  cmake --build "$build" -j "$jobs" --target install >/dev/null
}
if wants zstd; then
  cmake_build "$work/src/libzstd/build/cmake" zstd -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_PROGRAMS=OFF \
    -DZSTD_BUILD_TESTS=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF -DZSTD_LEGACY_SUPPORT=OFF
fi
if wants zlib; then
  # zlib is its fifteen C files (Debian's sources lack its MinGW makefile), as
  # the plain libz.a that FindZLIB looks for.
  (cd "$work/src/zlib" && for c in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
     inflate inftrees trees uncompr zutil; do "$cc" -O2 "${zlib_flags[@]}" -c $c.c || exit 1; done &&
   "$ar" rcs libz.a ./*.o)
  install -D -m 644 -t "$prefix/include" "$work/src/zlib/zlib.h" "$work/src/zlib/zconf.h"
  install -D -m 644 -t "$prefix/lib" "$work/src/zlib/libz.a"
fi
wants png && cmake_build "$work/src/libpng1.6" png -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF
wants gtest && cmake_build /usr/src/googletest gtest -DBUILD_GMOCK=OFF
rm -rf "$work"
touch "$prefix/.complete"
