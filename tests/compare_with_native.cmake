# Runs the native texweld and the Windows texweld.exe (through Wine) on the
# same split texture, each in a folder of its own with identical inputs, and
# checks that both print the same line, exit with 0 and leave byte-identical
# folders behind: the same output file, and no file that the other lacks.
#
#   cmake -DCASE=<case> -DNATIVE_DIR=<native build> -DWINDOWS_EXE=<texweld.exe>
#         -DWINE=<wine> -DSAMPLES_DIR=<samples> -DWORK_DIR=<scratch>
#         -P compare_with_native.cmake
#
# CASE "check" only checks that the native build has what the Windows tests
# use from it.
cmake_minimum_required(VERSION 3.25)

foreach(variable CASE NATIVE_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(native_texweld "${NATIVE_DIR}/texweld")
set(native_maker "${NATIVE_DIR}/make_split_texture")
set(native_e2e "${NATIVE_DIR}/tests/texweld_e2e_tests")
foreach(program IN ITEMS "${native_texweld}" "${native_maker}" "${native_e2e}")
  if(NOT EXISTS "${program}")
    message(FATAL_ERROR "${program} is missing. The Windows build is tested against a native "
                        "build of the same tree: run `cmake --workflow --preset test` first, or "
                        "point TEXWELD_NATIVE_BUILD_DIR at a native build folder.")
  endif()
endforeach()
if(CASE STREQUAL "check")
  return()
endif()

foreach(variable WINDOWS_EXE WINE SAMPLES_DIR WORK_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(native_dir "${WORK_DIR}/native")
set(windows_dir "${WORK_DIR}/windows")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${native_dir}" "${windows_dir}")

function(fail message)
  message(SEND_ERROR "${message}")
endfunction()

# Makes a split texture in both folders: tex.dds.0 ... and expected.dds.
function(make_texture format width height levels)
  execute_process(COMMAND "${native_maker}" ${format} ${width} ${height} ${levels} tex.dds expected.dds
                  WORKING_DIRECTORY "${native_dir}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "make_split_texture ${format} ${width} ${height} ${levels} failed: ${status}")
  endif()
  file(GLOB inputs "${native_dir}/*")
  file(COPY ${inputs} DESTINATION "${windows_dir}")
endfunction()

# The names of every file in `folder`, sorted.
function(list_files folder out)
  file(GLOB_RECURSE names RELATIVE "${folder}" "${folder}/*")
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# Runs both builds with the arguments after `expected_line` and compares what
# they print and the folders they leave.
function(run_both expected_line)
  execute_process(COMMAND "${native_texweld}" ${ARGN} WORKING_DIRECTORY "${native_dir}"
                  OUTPUT_VARIABLE native_out ERROR_VARIABLE native_err RESULT_VARIABLE native_status)
  execute_process(COMMAND "${WINE}" "${WINDOWS_EXE}" ${ARGN} WORKING_DIRECTORY "${windows_dir}"
                  OUTPUT_VARIABLE windows_out ERROR_VARIABLE windows_err RESULT_VARIABLE windows_status)
  # A Windows console program ends its lines in CR LF; execute_process
  # already drops the CR, but a CR elsewhere would still show.

  set(run "texweld ${ARGN}")
  if(NOT native_status EQUAL 0 OR NOT windows_status EQUAL 0)
    fail("${run}: exit status ${native_status} natively, ${windows_status} on Windows")
  endif()
  if(NOT native_err STREQUAL "")
    fail("${run}: the native build wrote to standard error: ${native_err}")
  endif()
  if(NOT native_out STREQUAL "${expected_line}\n")
    fail("${run}: the native build printed '${native_out}', expected '${expected_line}'")
  endif()
  if(NOT windows_out STREQUAL native_out)
    fail("${run}: the Windows build printed '${windows_out}' (standard error: '${windows_err}'), "
         "the native build '${native_out}'")
  endif()

  list_files("${native_dir}" native_files)
  list_files("${windows_dir}" windows_files)
  if(NOT native_files STREQUAL windows_files)
    fail("${run}: the folders differ; native: ${native_files}; Windows: ${windows_files}")
    return()
  endif()
  foreach(name IN LISTS native_files)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${native_dir}/${name}" "${windows_dir}/${name}"
                    RESULT_VARIABLE different)
    if(different)
      fail("${run}: ${name} differs between the builds")
    endif()
  endforeach()
  message(STATUS "${run}: both printed '${expected_line}'; folders identical: ${native_files}")
endfunction()

# Checks that `output` in the native folder is the texture make_split_texture
# joined itself (the builds were already found identical).
function(expect_joined output)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${native_dir}/${output}" "${native_dir}/expected.dds"
                  RESULT_VARIABLE different)
  if(different)
    fail("${output} is not the joined texture")
  endif()
endfunction()

function(remove_in_both)
  foreach(name IN LISTS ARGN)
    file(REMOVE "${native_dir}/${name}" "${windows_dir}/${name}")
  endforeach()
endfunction()

# The start of the success line; the rest names the base.
set(UNSPLIT "Successfully unsplit")

if(CASE STREQUAL "rock")
  # The bundled sample: 256x256 DXT1, 9 levels.
  file(GLOB chunks "${SAMPLES_DIR}/rock.dds.*")
  file(COPY ${chunks} DESTINATION "${native_dir}")
  file(COPY ${chunks} DESTINATION "${windows_dir}")
  run_both("${UNSPLIT} rock.dds." rock.dds.0)
  run_both("${UNSPLIT} rock.dds." rock.dds rock-again.dds)
elseif(CASE STREQUAL "dxt5")
  make_texture(dxt5 512 256 10)
  run_both("${UNSPLIT} tex.dds." tex.dds.0 out.dds)
  expect_joined(out.dds)
  # Replacing an existing output.
  run_both("${UNSPLIT} tex.dds." tex.dds.0 expected.dds)
  run_both("${UNSPLIT} tex.dds." tex.dds)
  expect_joined(tex.dds)
elseif(CASE STREQUAL "argb32")
  make_texture(argb32 96 40 7)
  run_both("${UNSPLIT} tex.dds." tex.dds.0 out.dds ignored)
  expect_joined(out.dds)
elseif(CASE STREQUAL "failures")
  make_texture(dxt1 64 64 7)
  run_both("Syntax: Texweld <first dds chunk> [output filename]")
  run_both("missing.dds doesn't appear to be a split DDS file (missing.dds.0 wasn't found)" missing.dds.0)
  string(REPEAT "not a DDS file. " 10 text)
  foreach(folder IN ITEMS "${native_dir}" "${windows_dir}")
    file(WRITE "${folder}/text.dds.0" "${text}")
    file(WRITE "${folder}/tiny.dds.0" "DDS ")
  endforeach()
  run_both("Invalid file signature." text.dds.0)
  run_both("File too small." tiny.dds)
  remove_in_both(text.dds.0 tiny.dds.0)
  file(WRITE "${native_dir}/tex.dds.2" "short")
  file(WRITE "${windows_dir}/tex.dds.2" "short")
  run_both("Chunk 2 has unexpected size." tex.dds.0 out.dds)
  remove_in_both(tex.dds.2)
  run_both("Failed to load chunk 2 contents to buffer." tex.dds.0 out.dds)
else()
  message(FATAL_ERROR "unknown CASE ${CASE}")
endif()
