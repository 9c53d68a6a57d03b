# Cross-compiles for Linux on s390x (big-endian), run under qemu-s390x.
set(LINUX_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
