# Every target of the project builds warning-free at this level.
function(texweld_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()
