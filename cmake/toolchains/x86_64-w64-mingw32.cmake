# Cross build for 64-bit Windows: the same code as the 32-bit build, and the
# one whose tests run under Wine on a machine that starts no 32-bit program.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TEXWELD_MINGW_TRIPLET x86_64-w64-mingw32)
set(TEXWELD_MINGW_LINKER_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
