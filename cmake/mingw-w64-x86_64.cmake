# Cross-compiles torvex.exe for 64-bit Windows with MinGW-w64.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
