# Cross build for a Linux processor with Debian's g++-TRIPLET, for the triplet
# and processor that cmake/TRIPLET.cmake sets (kelvo4_triplet,
# CMAKE_SYSTEM_PROCESSOR), run under qemu-user (qemu-PROCESSOR). The toolchain
# brings the target's C and C++ runtime (/usr/TRIPLET); the libraries the
# project links (zstd, libpng, GoogleTest) come from the target's Debian
# packages unpacked into KELVO4_SYSROOT (scripts/cross.sh does that) rather
# than installed through multiarch, whose versions must equal the host's.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${kelvo4_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${kelvo4_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${kelvo4_triplet})

set(KELVO4_SYSROOT "" CACHE PATH "Packages of the target unpacked here (usr/include, usr/lib/${kelvo4_triplet})")
set(CMAKE_FIND_ROOT_PATH /usr/${kelvo4_triplet} ${KELVO4_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(libdir ${KELVO4_SYSROOT}/usr/lib/${kelvo4_triplet})
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${libdir}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${libdir}")

find_program(KELVO4_QEMU qemu-${CMAKE_SYSTEM_PROCESSOR})
if(KELVO4_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVO4_QEMU} -L /usr/${kelvo4_triplet} -E LD_LIBRARY_PATH=${libdir})
endif()
