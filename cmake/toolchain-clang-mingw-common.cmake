# The fuzz build: compiles with Debian's clang for a mingw-w64 target (coverage instrumentation
# for the fuzzing engine needs clang), against mingw-w64's headers and the posix thread-model
# libstdc++ that the GCC builds use. Included by the per-architecture files, which set VRX_ARCH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VRX_ARCH})
set(VRX_TRIPLET ${VRX_ARCH}-w64-mingw32)
set(VRX_GCC_LIB /usr/lib/gcc/${VRX_TRIPLET}/12-posix)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${VRX_TRIPLET})
set(CMAKE_CXX_COMPILER_TARGET ${VRX_TRIPLET})
set(CMAKE_RC_COMPILER ${VRX_TRIPLET}-windres)
set(CMAKE_AR /usr/bin/${VRX_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${VRX_TRIPLET}-ranlib CACHE FILEPATH "")
set(CMAKE_NM /usr/bin/${VRX_TRIPLET}-nm CACHE FILEPATH "")
set(CMAKE_DLLTOOL /usr/bin/${VRX_TRIPLET}-dlltool CACHE FILEPATH "")
set(CMAKE_OBJCOPY /usr/bin/${VRX_TRIPLET}-objcopy CACHE FILEPATH "")
set(CMAKE_STRIP /usr/bin/${VRX_TRIPLET}-strip CACHE FILEPATH "")
set(CMAKE_SYSROOT /usr/${VRX_TRIPLET})
# GCC's libstdc++ keeps its thread-local variables (std::call_once's among them) in emulated
# thread-local storage, which clang does not use for this target unless asked.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
# clang looks for a libstdc++ of its own; the GCC builds' one is named explicitly.
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls -nostdinc++ -isystem ${VRX_GCC_LIB}/include/c++ \
-isystem ${VRX_GCC_LIB}/include/c++/${VRX_TRIPLET} -isystem ${VRX_GCC_LIB}/include/c++/backward")
# clang links through mingw-w64's GNU ld; libgcc and libstdc++ are in GCC's own folder.
# -pthread: the posix libstdc++ needs winpthread, which clang links only when asked.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${VRX_GCC_LIB} -pthread -Wno-unused-command-line-argument")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-L${VRX_GCC_LIB} -pthread")
set(CMAKE_FIND_ROOT_PATH /usr/${VRX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
