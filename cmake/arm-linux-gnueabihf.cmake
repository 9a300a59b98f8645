# Cross build for 32-bit Arm Linux (armhf) with Debian's
# g++-arm-linux-gnueabihf, run under qemu-user: libraries and headers come from
# the armhf multiarch packages, and ctest starts every test program through
# qemu-arm.
#
# The compiler's default target is Debian's armhf baseline (ARMv7-A, Thumb-2,
# VFPv3-D16, hard-float calls) and has no NEON: only the files of arm/ are
# built for it, and their code runs only where the processor has it. qemu-arm
# emulates a processor with NEON, so under it the NEON code runs too.
#
# The programs run on the multiarch runtime alone (libc6:armhf and
# libstdc++6:armhf, found through /lib/ld-linux-armhf.so.3), not with
# -L /usr/arm-linux-gnueabihf: that prefix supplies the cross toolchain's own
# loader, which then meets the multiarch libc6 (a different release).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# The armhf packages install into the host's /usr; the target's own libc
# lives in /usr/arm-linux-gnueabihf.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(KELVO4_QEMU_ARM qemu-arm)
if(KELVO4_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVO4_QEMU_ARM})
endif()
