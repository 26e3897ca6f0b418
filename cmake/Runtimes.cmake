# How the programs of a native Linux build take their runtimes (a cross
# build's toolchain file says how its programs link). Loading and
# relocating shared libraries is most of a small texture's run
# (docs/performance.md has the figures). So the programs link both in, as a
# static position-independent program (which keeps address randomisation)
# where the toolchain makes one. A sanitizer or fuzzing build
# needs its runtime shared and links the C++ runtime alone.
include(CheckLinkerFlag)
set(TEXWELD_STATIC_PIE OFF)
if(NOT CMAKE_CROSSCOMPILING AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT TEXWELD_FUZZ
   AND NOT "${CMAKE_CXX_FLAGS} ${CMAKE_EXE_LINKER_FLAGS}" MATCHES "-fsanitize")
  check_linker_flag(CXX -static-pie TEXWELD_LINKS_STATIC_PIE)
  set(TEXWELD_STATIC_PIE ${TEXWELD_LINKS_STATIC_PIE})
endif()
