# Cross-compiles torvex.exe for 32-bit Windows with MinGW-w64.
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
