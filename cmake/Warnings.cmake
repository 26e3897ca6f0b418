# Every target of the project builds warning-free at this level, with g++
# and with clang; TEXWELD_WARNINGS_AS_ERRORS (on in CI) keeps it so.
option(TEXWELD_WARNINGS_AS_ERRORS "Fail the build on any compiler warning" OFF)

function(texweld_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(TEXWELD_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
