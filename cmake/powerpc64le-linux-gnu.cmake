# Cross build for little-endian 64-bit POWER Linux with Debian's
# g++-powerpc64le-linux-gnu, run under qemu-user. As for s390x, the toolchain
# brings the target's C and C++ runtime (/usr/powerpc64le-linux-gnu) and the
# libraries the project links come from ppc64el packages unpacked into
# KELVO4_SYSROOT (scripts/cross.sh does that): multiarch would need their
# versions to equal the host's, which the archive's ppc64el indexes trail
# while a security update syncs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)

set(CMAKE_C_COMPILER powerpc64le-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc64le-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE powerpc64le-linux-gnu)

set(KELVO4_SYSROOT "" CACHE PATH "ppc64el packages unpacked here (usr/include, usr/lib/powerpc64le-linux-gnu)")
set(CMAKE_FIND_ROOT_PATH /usr/powerpc64le-linux-gnu ${KELVO4_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(libdir ${KELVO4_SYSROOT}/usr/lib/powerpc64le-linux-gnu)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${libdir}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${libdir}")

find_program(KELVO4_QEMU_PPC64LE qemu-ppc64le)
if(KELVO4_QEMU_PPC64LE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVO4_QEMU_PPC64LE} -L /usr/powerpc64le-linux-gnu -E LD_LIBRARY_PATH=${libdir})
endif()
