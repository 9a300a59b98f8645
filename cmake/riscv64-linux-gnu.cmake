# Cross build for 64-bit RISC-V Linux (RV64GC, lp64d) with Debian's
# g++-riscv64-linux-gnu, run under qemu-user. The toolchain brings the
# target's C and C++ runtime (/usr/riscv64-linux-gnu); Debian 12 has no
# riscv64 archive, so zlib, libpng and GoogleTest are built from Debian's
# sources with this toolchain into KELVO4_SYSROOT as static libraries
# (scripts/source-deps.sh, which scripts/cross.sh runs).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR riscv64)

set(CMAKE_C_COMPILER riscv64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER riscv64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE riscv64-linux-gnu)

set(KELVO4_SYSROOT "" CACHE PATH "Libraries built for riscv64 here (include, lib)")
set(CMAKE_FIND_ROOT_PATH /usr/riscv64-linux-gnu ${KELVO4_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KELVO4_QEMU_RISCV64 qemu-riscv64)
if(KELVO4_QEMU_RISCV64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVO4_QEMU_RISCV64} -L /usr/riscv64-linux-gnu)
endif()
