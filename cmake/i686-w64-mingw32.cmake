# Cross build for 32-bit Windows (cmake/mingw-w64.cmake), for a plain i686:
# the library picks MMX, SSE and above at run time. Its programs run under
# Wine's 32-bit loader (wine32), in a 32-bit prefix.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(kelvo4_mingw i686-w64-mingw32)
set(kelvo4_wine_arch win32)
# 32-bit Windows keeps the stack 4-byte aligned across calls (a VM, a program
# built with another compiler, a thread's start), where GCC assumes 16: every
# function that keeps 16- or 32-byte aligned data on its stack (the vector
# code's spills) aligns it itself.
set(CMAKE_C_FLAGS_INIT -mincoming-stack-boundary=2)
set(CMAKE_CXX_FLAGS_INIT -mincoming-stack-boundary=2)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
