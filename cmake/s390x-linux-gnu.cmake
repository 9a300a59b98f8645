# Cross build for big-endian s390x Linux (cmake/linux-sysroot.cmake): portable
# code only.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(kelvo4_triplet s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-sysroot.cmake)
