# Cross build for 32-bit Windows consoles, the reference Windows build.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TEXWELD_MINGW_TRIPLET i686-w64-mingw32)
# The whole 4 GiB address space that a 64-bit Windows gives a 32-bit process.
set(TEXWELD_MINGW_LINKER_FLAGS "-Wl,--large-address-aware")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
