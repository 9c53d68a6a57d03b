# Cross-compiles for macOS on Intel with zig.
set(MACOS_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
