# What the Windows cross builds share, included by the toolchain file of
# each target after it sets CMAKE_SYSTEM_PROCESSOR and TEXWELD_MINGW_TRIPLET.
# Debian's MinGW-w64 toolchains: packages g++-mingw-w64-i686 and
# g++-mingw-w64-x86-64. The tests' own CMake (tests/wine.cmake) runs what is
# built here under Wine.
set(CMAKE_SYSTEM_NAME Windows)

# The posix-threads flavour: the tests use std::thread and std::future, which
# GCC 12's win32-threads flavour does not provide. The program itself uses
# no threads of the C++ library.
find_program(CMAKE_C_COMPILER ${TEXWELD_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER ${TEXWELD_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER ${TEXWELD_MINGW_TRIPLET}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TEXWELD_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program carries its C and C++ runtimes (and the threads library)
# inside it, so it runs with no DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${TEXWELD_MINGW_LINKER_FLAGS}")
