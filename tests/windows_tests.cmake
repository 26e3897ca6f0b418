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
  TEXSPLIT_WINDOWS_EXE="$<TARGET_FILE:texsplit>"
  TEXWELD_VERSION="${PROJECT_VERSION}")

# One folder under two names, the second a Unix link that Wine shows as a
# folder of its own, for the set lock's test.
set(TEXWELD_LOCK_SPELLINGS ${CMAKE_CURRENT_BINARY_DIR}/lock-spellings)
file(MAKE_DIRECTORY ${TEXWELD_LOCK_SPELLINGS}/folder)
file(CREATE_LINK folder ${TEXWELD_LOCK_SPELLINGS}/link SYMBOLIC)
target_compile_definitions(texweld_tests PRIVATE TEXWELD_LOCK_SPELLINGS="Z:${TEXWELD_LOCK_SPELLINGS}")

set(TEXWELD_NATIVE_BUILD_DIR "${PROJECT_SOURCE_DIR}/build" CACHE PATH
    "A native build of this tree, whose end-to-end tests and program check texweld.exe")

# Before any Windows test counts, Wine must run one of this build's own
# programs: texweld.exe with no arguments prints its syntax line. Where it
# cannot (no loader for this bitness, a kernel that starts no 32-bit
# program), this test fails with the reason and ctest reports every other
# Windows test as not run, by name.
set(TEXWELD_WINE_FIXTURE FIXTURES_REQUIRED wine_runs)
if(TEXWELD_WINE)
  add_test(NAME Wine.RunsThisBuild COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:texweld>)
  set_tests_properties(Wine.RunsThisBuild PROPERTIES
    PASS_REGULAR_EXPRESSION "^Syntax: Texweld <first dds chunk> \\[output filename\\]"
    FIXTURES_SETUP wine_runs TIMEOUT 120)
else()
  message(STATUS "${TEXWELD_WINE_ABSENT}: the Windows build's tests can be built but not run here")
  add_test(NAME Wine.RunsThisBuild COMMAND ${CMAKE_COMMAND} -E echo "${TEXWELD_WINE_ABSENT}")
  set_tests_properties(Wine.RunsThisBuild PROPERTIES WILL_FAIL ON FIXTURES_SETUP wine_runs)
  # Stands for the unit tests, which cannot even be listed without Wine.
  add_test(NAME WindowsUnitTests.Listed COMMAND texweld_tests --gtest_list_tests)
  set_tests_properties(WindowsUnitTests.Listed PROPERTIES ${TEXWELD_WINE_FIXTURE})
  return()
endif()

# A test program that lists no test, as a 32-bit one does under the 64-bit
# loader alone, must fail rather than pass with nothing in it.
add_test(NAME WindowsUnitTests.Listed COMMAND texweld_tests --gtest_list_tests)
set_tests_properties(WindowsUnitTests.Listed PROPERTIES
  PASS_REGULAR_EXPRESSION "ByteBuffer\\.[\r\n]+ +Reserve" ${TEXWELD_WINE_FIXTURE})

# Making a Wine prefix takes several seconds; do it once, while building, so
# that neither the listing of the unit tests nor any test pays for it. Where
# Wine cannot run here the build goes on, and Wine.RunsThisBuild says so.
add_custom_command(
  OUTPUT "${TEXWELD_WINE_PREFIX}/system.reg"
  COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init || ${CMAKE_COMMAND} -E true
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
  ENVIRONMENT "${TEXWELD_WINE_ENVIRONMENT}" FIXTURES_REQUIRED "native_build;wine_runs" TIMEOUT 600)

# Both builds on the same inputs: the same lines, byte-identical files.
foreach(case IN ITEMS rock dxt5 argb32 failures)
  add_test(NAME CrossBuild.SameAsNative.${case}
    COMMAND ${CMAKE_COMMAND} -DCASE=${case} "-DNATIVE_DIR=${TEXWELD_NATIVE_BUILD_DIR}"
            "-DWINDOWS_EXE=$<TARGET_FILE:texweld>" "-DWINE=${TEXWELD_WINE_RUN}"
            "-DSAMPLES_DIR=${PROJECT_SOURCE_DIR}/samples"
            "-DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/same-as-native/${case}"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/compare_with_native.cmake)
  set_tests_properties(CrossBuild.SameAsNative.${case} PROPERTIES
    ENVIRONMENT "${TEXWELD_WINE_ENVIRONMENT}" FIXTURES_REQUIRED "native_build;wine_runs")
endforeach()

# The names a Windows without the UTF-8 code page gives the program.
add_test(NAME WindowsNames.WithoutTheUtf8CodePage
  COMMAND ${CMAKE_COMMAND} "-DWINDOWS_EXE=$<TARGET_FILE:texweld>" "-DWINE=${TEXWELD_WINE_RUN}"
          "-DSAMPLES_DIR=${PROJECT_SOURCE_DIR}/samples"
          "-DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/names-without-utf8"
          -P ${CMAKE_CURRENT_SOURCE_DIR}/names_without_utf8.cmake)
set_tests_properties(WindowsNames.WithoutTheUtf8CodePage PROPERTIES
  ENVIRONMENT "${TEXWELD_WINE_ENVIRONMENT}" ${TEXWELD_WINE_FIXTURE})

# README's batch files, run by Wine's cmd.exe over textures the native
# build makes.
add_test(NAME Recipes.BatchFilesWeldAndSplitEveryTexture
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/recipes_test.sh cmd ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/man ${TEXWELD_NATIVE_BUILD_DIR} ${TEXWELD_WINE_RUN} $<TARGET_FILE_DIR:texweld>)
set_tests_properties(Recipes.BatchFilesWeldAndSplitEveryTexture PROPERTIES
  ENVIRONMENT "${TEXWELD_WINE_ENVIRONMENT}" FIXTURES_REQUIRED "native_build;wine_runs")
