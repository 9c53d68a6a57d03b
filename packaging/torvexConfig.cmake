# find_package(torvex 1 CONFIG) gives the imported target torvex::torvex: the
# shared library libtorvex and its header's folder. torvexConfigVersion.cmake
# accepts any 1.x at or above the version asked for.
include(${CMAKE_CURRENT_LIST_DIR}/torvexTargets.cmake)
