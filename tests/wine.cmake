# How the Windows build's tests run on Linux: through Wine (packages wine and
# wine32:i386), by cmake/wine-run.sh, in a Wine prefix of the build's own.
# Included from tests/CMakeLists.txt when cross compiling, before any test
# program is declared, so that each one takes the emulator.
find_program(TEXWELD_WINE wine)
# Wine's loader is a 32-bit Linux program: on a kernel that runs none, Wine
# is installed but cannot start, and the Windows programs are built only.
# TEXWELD_WINE_ABSENT says which, for the message where the tests are skipped.
set(TEXWELD_WINE_ABSENT "Wine not found")
if(TEXWELD_WINE)
  execute_process(COMMAND ${TEXWELD_WINE} --version RESULT_VARIABLE TEXWELD_WINE_STATUS OUTPUT_QUIET ERROR_QUIET)
  if(NOT TEXWELD_WINE_STATUS EQUAL 0)
    set(TEXWELD_WINE "")
    set(TEXWELD_WINE_ABSENT "Wine is installed but cannot start")
  endif()
endif()
set(TEXWELD_WINE_RUN "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh")
set(TEXWELD_WINE_PREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the Windows programs run in")
set(TEXWELD_WINE_ENVIRONMENT "WINEPREFIX=${TEXWELD_WINE_PREFIX}")
if(TEXWELD_WINE AND NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR})
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_COMMAND};-E;env;${TEXWELD_WINE_ENVIRONMENT};${TEXWELD_WINE_RUN}")
endif()
