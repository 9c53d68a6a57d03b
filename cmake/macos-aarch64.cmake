# Cross-compiles for macOS on Apple silicon with zig.
set(MACOS_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
