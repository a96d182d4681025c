# Cross build of meshfold.exe for 64-bit Windows with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64). The posix thread model is the one whose C++
# runtime supports std::thread and friends; everything is linked statically so
# that the .exe runs on a bare Windows without any MinGW DLL beside it.
#
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MESHFOLD_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MESHFOLD_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MESHFOLD_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MESHFOLD_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MESHFOLD_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc_s / libstdc++ / libwinpthread DLLs at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The tests and benchmarks run on the build machine; a cross build makes the
# program (and the tests' Windows helper) only. -D on the command line wins.
set(MESHFOLD_BUILD_TESTS OFF CACHE BOOL "Build the tests")
set(MESHFOLD_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks")
