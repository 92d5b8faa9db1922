# x86_64 Windows, compiled by clang: the fuzz build that runs under wine64.
set(VRX_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-clang-mingw-common.cmake)
