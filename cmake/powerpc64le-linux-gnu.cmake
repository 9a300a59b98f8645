# Cross build for little-endian 64-bit POWER Linux (cmake/linux-sysroot.cmake):
# portable code only. Its packages come unpacked, as s390x's do, because the
# archive's ppc64el indexes trail the host's while a security update syncs.
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(kelvo4_triplet powerpc64le-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-sysroot.cmake)
