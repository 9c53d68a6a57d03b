# Shared part of the Linux cross toolchains; LINUX_ARCH is aarch64 or s390x.
# Debian's cross compilers (g++-LINUX_ARCH-linux-gnu) build; qemu-user runs the
# results, tests included, with the target's libraries from /usr/LINUX_ARCH-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${LINUX_ARCH})
set(CMAKE_C_COMPILER ${LINUX_ARCH}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${LINUX_ARCH}-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${LINUX_ARCH}-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${LINUX_ARCH} -L /usr/${LINUX_ARCH}-linux-gnu)
