# Cross build for 64-bit Windows (cmake/mingw-w64.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(kelvo4_mingw x86_64-w64-mingw32)
set(kelvo4_wine_arch win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
