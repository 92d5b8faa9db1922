# i686 Windows: the shipped build.
set(VRX_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
