# How the Windows build's tests run on Linux: through Wine, by
# cmake/wine-run.sh, in a Wine prefix of the build's own. Included from
# tests/CMakeLists.txt when cross compiling, before any test program is
# declared, so that each one takes the emulator.
#
# Wine's loader is chosen by the build's bitness and called directly: a
# 64-bit build runs with the 64-bit loader in a win64 prefix, a 32-bit one
# with the 32-bit loader in a win32 prefix. /usr/bin/wine would take the
# 32-bit loader whenever wine32 is installed, and under the 64-bit loader
# alone a 32-bit program exits 0 printing nothing. Whether the loader can run
# this build's programs at all (a kernel that runs no 32-bit programs cannot
# start the 32-bit one) is asked by a test, Wine.RunsThisBuild, that every
# other Windows test needs.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TEXWELD_WINE_LOADER_NAME wine64)
  set(TEXWELD_WINE_ARCH win64)
else()
  set(TEXWELD_WINE_LOADER_NAME wine)
  set(TEXWELD_WINE_ARCH win32)
endif()
find_program(TEXWELD_WINE_LOADER ${TEXWELD_WINE_LOADER_NAME} PATHS /usr/lib/wine NO_DEFAULT_PATH)
set(TEXWELD_WINE "${TEXWELD_WINE_LOADER}")
set(TEXWELD_WINE_ABSENT "Wine's ${TEXWELD_WINE_ARCH} loader (/usr/lib/wine/${TEXWELD_WINE_LOADER_NAME}) not found")
set(TEXWELD_WINE_RUN "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh")
set(TEXWELD_WINE_PREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the Windows programs run in")
set(TEXWELD_WINE_ENVIRONMENT "WINEPREFIX=${TEXWELD_WINE_PREFIX}" "WINEARCH=${TEXWELD_WINE_ARCH}"
    "TEXWELD_WINE_LOADER=${TEXWELD_WINE}")
if(TEXWELD_WINE AND NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR})
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_COMMAND};-E;env;${TEXWELD_WINE_ENVIRONMENT};${TEXWELD_WINE_RUN}")
endif()
