# texweld.exe as a Windows older than 1903 runs it: a copy whose manifest
# does not ask for the UTF-8 code page, so the 8-bit file calls speak the
# ANSI code page (1252 under Wine in a C.UTF-8 locale). Names that page can
# hold work; a name it cannot hold is converted without best fit, to a name
# no file has, and refused, never taken for its nearest look-alike.
#
#   cmake -DWINDOWS_EXE=<texweld.exe> -DWINE=<wine-run.sh> -DSAMPLES_DIR=<samples>
#         -DWORK_DIR=<scratch> -P names_without_utf8.cmake
cmake_minimum_required(VERSION 3.25)
foreach(variable WINDOWS_EXE WINE SAMPLES_DIR WORK_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()
set(ENV{LC_ALL} C.UTF-8)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
# The manifest's element renamed, same length: Windows ignores it.
find_program(PERL perl REQUIRED)
execute_process(COMMAND "${PERL}" -0777 -pe "s/activeCodePage/activeCodeXage/g" "${WINDOWS_EXE}"
                OUTPUT_FILE "${WORK_DIR}/texweld.exe" RESULT_VARIABLE status)
file(READ "${WINDOWS_EXE}" original HEX)
file(READ "${WORK_DIR}/texweld.exe" patched HEX)
if(NOT status EQUAL 0 OR original STREQUAL patched)
  message(FATAL_ERROR "no manifest with an activeCodePage in ${WINDOWS_EXE}")
endif()

file(GLOB chunks "${SAMPLES_DIR}/rock.dds.*")
foreach(chunk IN LISTS chunks)
  string(REGEX REPLACE ".*\\.dds\\." "" number "${chunk}")
  foreach(base IN ITEMS rock.dds café.dds "岩 石.dds")
    file(COPY_FILE "${chunk}" "${WORK_DIR}/${base}.${number}")
  endforeach()
endforeach()
file(WRITE "${WORK_DIR}/Out.dds" "an earlier output\n")

# Runs the copy with `arguments` and checks its line, given as the bytes it
# prints in hexadecimal, and whether `made` then exists.
function(expect label line_hex made)
  execute_process(COMMAND "${WINE}" "${WORK_DIR}/texweld.exe" ${ARGN}
                  WORKING_DIRECTORY "${WORK_DIR}" OUTPUT_VARIABLE out RESULT_VARIABLE status)
  string(HEX "${out}" out_hex)
  if(NOT status EQUAL 0 OR NOT out_hex MATCHES "^${line_hex}(0d)?0a$")
    message(SEND_ERROR "${label}: exit ${status}, printed \"${out}\" (${out_hex})")
  endif()
  if(made AND NOT EXISTS "${WORK_DIR}/${made}")
    message(SEND_ERROR "${label}: ${made} was not made")
  endif()
endfunction()

function(hex_of text variable)
  string(HEX "${text}" hex)
  set(${variable} "${hex}" PARENT_SCOPE)
endfunction()

# Greek beside its look-alike: refused as "?ut.dds"; Out.dds keeps its bytes.
hex_of("Failed to open ?ut.dds for writing." greek)
expect(GreekOutput "${greek}" "" rock.dds.0 "Ωut.dds")
file(READ "${WORK_DIR}/Out.dds" kept)
if(NOT kept STREQUAL "an earlier output\n")
  message(SEND_ERROR "GreekOutput: Out.dds was changed")
endif()
file(GLOB greek_files "${WORK_DIR}/Ω*")
if(greek_files)
  message(SEND_ERROR "GreekOutput: made ${greek_files}")
endif()

# CJK with a space, as the first chunk: each character a "?", no such file.
hex_of("? ?.dds doesn't appear to be a split DDS file (? ?.dds.0 wasn't found)" cjk)
expect(CjkFirstChunk "${cjk}" "" "岩 石.dds.0")

# Latin-1: code page 1252 holds it, so it is read and written under its own
# name, and printed in that code page (é is byte e9).
hex_of("Successfully unsplit caf" latin_head)
hex_of(".dds." latin_tail)
expect(Latin1Name "${latin_head}e9${latin_tail}" café.dds café.dds.0)
file(SIZE "${WORK_DIR}/café.dds" welded_size)
if(NOT welded_size EQUAL 43832)  # the rock: the preamble and 43704 bytes of levels
  message(SEND_ERROR "Latin1Name: café.dds holds ${welded_size} bytes")
endif()
