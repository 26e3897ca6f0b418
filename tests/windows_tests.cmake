# Tests of the Windows build, included from tests/CMakeLists.txt when cross
# compiling. The unit tests run through CMAKE_CROSSCOMPILING_EMULATOR (Wine);
# the end-to-end suite and a comparison of outputs come from a native build
# of the same tree, pointed at texweld.exe.

# The Windows platform layer, and texweld.exe run beside other openers of its
# files.
target_sources(texweld_tests PRIVATE platform_windows_test.cpp texweld_windows_test.cpp)
target_link_libraries(texweld_tests PRIVATE texweld_samplekit version)
add_dependencies(texweld_tests texweld texsplit)
target_compile_definitions(texweld_tests PRIVATE TEXWELD_WINDOWS_EXE="$<TARGET_FILE:texweld>"
  TEXWELD_VERSION="${PROJECT_VERSION}")

set(TEXWELD_NATIVE_BUILD_DIR "${PROJECT_SOURCE_DIR}/build" CACHE PATH
    "A native build of this tree, whose end-to-end tests and program check texweld.exe")

if(NOT TEXWELD_WINE OR NOT TEXWELD_WINE_PREFIX)
  message(STATUS "${TEXWELD_WINE_ABSENT}: the Windows build's tests can be built but not run here")
  return()
endif()

# Making a Wine prefix takes several seconds; do it once, while building, so
# that neither the listing of the unit tests nor any test pays for it.
add_custom_command(
  OUTPUT "${TEXWELD_WINE_PREFIX}/system.reg"
  COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init
  COMMENT "Making the Wine prefix the tests run in"
  VERBATIM)
add_custom_target(wine_prefix ALL DEPENDS "${TEXWELD_WINE_PREFIX}/system.reg")

add_test(NAME NativeBuild.HasWhatTheWindowsTestsUse
  COMMAND ${CMAKE_COMMAND} -DCASE=check "-DNATIVE_DIR=${TEXWELD_NATIVE_BUILD_DIR}"
          -P ${CMAKE_CURRENT_SOURCE_DIR}/compare_with_native.cmake)
set_tests_properties(NativeBuild.HasWhatTheWindowsTestsUse PROPERTIES FIXTURES_SETUP native_build)

# The native end-to-end suite, driving texweld.exe through Wine; the cases
# that need the host's own files, devices or limits skip themselves.
add_test(NAME TexweldE2E.UnderWine
  COMMAND ${CMAKE_COMMAND} -E env
          "TEXWELD_EXE=$<TARGET_FILE:texweld>" "TEXSPLIT_EXE=$<TARGET_FILE:texsplit>"
          "TEXWELD_EMULATOR=${TEXWELD_WINE_RUN}"
          "${TEXWELD_NATIVE_BUILD_DIR}/tests/texweld_e2e_tests" --gtest_brief=1)
set_tests_properties(TexweldE2E.UnderWine PROPERTIES
  ENVIRONMENT "${TEXWELD_WINE_ENVIRONMENT}" FIXTURES_REQUIRED native_build TIMEOUT 600)

# Both builds on the same inputs: the same lines, byte-identical files.
foreach(case IN ITEMS rock dxt5 argb32 failures)
  add_test(NAME CrossBuild.SameAsNative.${case}
    COMMAND ${CMAKE_COMMAND} -DCASE=${case} "-DNATIVE_DIR=${TEXWELD_NATIVE_BUILD_DIR}"
            "-DWINDOWS_EXE=$<TARGET_FILE:texweld>" "-DWINE=${TEXWELD_WINE_RUN}"
            "-DSAMPLES_DIR=${PROJECT_SOURCE_DIR}/samples"
            "-DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/same-as-native/${case}"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/compare_with_native.cmake)
  set_tests_properties(CrossBuild.SameAsNative.${case} PROPERTIES
    ENVIRONMENT "${TEXWELD_WINE_ENVIRONMENT}" FIXTURES_REQUIRED native_build)
endforeach()
