# Cross build for 32-bit Windows consoles with Debian's MinGW-w64 toolchain
# (packages g++-mingw-w64-i686 and binutils-mingw-w64-i686). Programs built
# here run on Linux through Wine (packages wine and wine32:i386).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TEXWELD_MINGW_TRIPLET i686-w64-mingw32)

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
# inside it, so it runs with no DLL beside it, and may use the whole 4 GiB
# address space that a 64-bit Windows gives a 32-bit process.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--large-address-aware")

# Programs built here are run (the tests, and the listing of the tests)
# under Wine by wine-run.sh, in a Wine prefix of the build's own.
find_program(TEXWELD_WINE wine)
# Wine's loader is a 32-bit Linux program: on a kernel that runs none, Wine
# is installed but cannot start, and the Windows programs are built only.
if(TEXWELD_WINE)
  execute_process(COMMAND ${TEXWELD_WINE} --version RESULT_VARIABLE TEXWELD_WINE_STATUS OUTPUT_QUIET ERROR_QUIET)
  if(NOT TEXWELD_WINE_STATUS EQUAL 0)
    set(TEXWELD_WINE "")
  endif()
endif()
cmake_path(SET TEXWELD_WINE_RUN NORMALIZE "${CMAKE_CURRENT_LIST_DIR}/../wine-run.sh")
set(TEXWELD_WINE_PREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the Windows programs run in")
set(TEXWELD_WINE_ENVIRONMENT "WINEPREFIX=${TEXWELD_WINE_PREFIX}")
if(TEXWELD_WINE AND NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR})
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_COMMAND};-E;env;${TEXWELD_WINE_ENVIRONMENT};${TEXWELD_WINE_RUN}"
      CACHE STRING "Runs a Windows program of this build")
endif()
