# x86_64 Windows: the shipped build's sources for the tests under wine64.
set(VRX_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
