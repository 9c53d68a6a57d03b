# Cross-compiles for Linux on 64-bit ARM, run under qemu-aarch64.
set(LINUX_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
