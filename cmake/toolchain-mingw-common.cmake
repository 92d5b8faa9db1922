# Cross-compiles for Windows with mingw-w64's posix thread-model compilers (the win32 model has no
# std::mutex or std::once_flag, which GoogleTest needs). Included by the per-architecture files,
# which set VRX_ARCH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VRX_ARCH})
set(VRX_TRIPLET ${VRX_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${VRX_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VRX_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VRX_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VRX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
