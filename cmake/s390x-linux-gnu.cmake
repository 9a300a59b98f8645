# Cross build for big-endian s390x Linux with Debian's g++-s390x-linux-gnu, run
# under qemu-user: portable code only. The toolchain brings the target's C and
# C++ runtime (/usr/s390x-linux-gnu); the libraries the project links (zstd,
# libpng, GoogleTest) come from s390x packages unpacked into KELVO4_SYSROOT
# (scripts/cross.sh does that) rather than installed through multiarch, whose
# versions must match the host's exactly.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)

set(KELVO4_SYSROOT "" CACHE PATH "s390x packages unpacked here (usr/include, usr/lib/s390x-linux-gnu)")
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu ${KELVO4_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(libdir ${KELVO4_SYSROOT}/usr/lib/s390x-linux-gnu)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${libdir}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${libdir}")

find_program(KELVO4_QEMU_S390X qemu-s390x)
if(KELVO4_QEMU_S390X)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVO4_QEMU_S390X} -L /usr/s390x-linux-gnu -E LD_LIBRARY_PATH=${libdir})
endif()
