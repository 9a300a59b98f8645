# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix:
# the posix thread model, so that std::thread works), run under Wine. The GCC
# runtime, libstdc++ and winpthreads are linked statically, so Kelvo4.dll and
# the programs need only the DLLs every Windows has. zstd, zlib, libpng and
# GoogleTest are built from Debian's sources with this toolchain into
# KELVO4_SYSROOT (scripts/source-deps.sh does that).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(KELVO4_SYSROOT "" CACHE PATH "Libraries built for Windows here (include, lib)")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${KELVO4_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -s")

# ctest starts every program through Wine, in a prefix of the build's own.
get_filename_component(kelvo4_wine ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wine ${kelvo4_wine})
