# i686 Windows, compiled by clang: the fuzz build of the shipped architecture.
set(VRX_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-clang-mingw-common.cmake)
