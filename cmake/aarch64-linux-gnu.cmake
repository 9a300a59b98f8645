# Cross build for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu, run
# under qemu-user: libraries and headers come from the arm64 multiarch
# packages, and ctest starts every test program through qemu-aarch64.
#
# The programs run on the multiarch runtime alone (libc6:arm64 and
# libstdc++6:arm64, found through /lib/ld-linux-aarch64.so.1), not with
# -L /usr/aarch64-linux-gnu: that prefix supplies the cross toolchain's own
# loader, which then meets the multiarch libc6 (a different release) and
# hangs in the first pthread_create.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The arm64 packages install into the host's /usr; the target's own libc
# lives in /usr/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(KELVO4_QEMU_AARCH64 qemu-aarch64)
if(KELVO4_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVO4_QEMU_AARCH64})
endif()
