# Cross build for Windows with Debian's MinGW-w64, for the triplet that
# cmake/TRIPLET.cmake sets in kelvo4_mingw (x86_64-w64-mingw32 or
# i686-w64-mingw32), with its -posix compilers (g++-mingw-w64-x86-64-posix,
# g++-mingw-w64-i686-posix: the posix thread model, so that std::thread
# works), run under Wine. The GCC runtime, libstdc++ and winpthreads are
# linked statically, so Kelvo4.dll and the programs need only the DLLs every
# Windows has. zstd, zlib, libpng and GoogleTest are built from Debian's
# sources with this toolchain into KELVO4_SYSROOT (scripts/source-deps.sh
# does that).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${kelvo4_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kelvo4_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${kelvo4_mingw}-windres)

set(KELVO4_SYSROOT "" CACHE PATH "Libraries built for Windows here (include, lib)")
set(CMAKE_FIND_ROOT_PATH /usr/${kelvo4_mingw} ${KELVO4_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -s")

# ctest starts every program through Wine, in a prefix of the build's own.
get_filename_component(kelvo4_wine ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEARCH=${kelvo4_wine_arch} ${kelvo4_wine})
