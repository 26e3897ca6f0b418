# What `cmake --install` puts where, and the packages CPack makes of it:
# on Linux a .deb and a .tar.gz (bin/, share/man/man1/, share/doc/texweld/),
# for Windows a .zip with the programs, README.txt and LICENSE.txt at its
# root and the docs pages beside them; lintian's overrides go into the .deb
# alone. Tests, samples, fuzz tools and the benchmark are not installed.
set(CMAKE_INSTALL_DOCDIR share/doc/texweld)
set(TEXWELD_MAINTAINER "The Texweld developers <developers@texweld.invalid>")
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS texweld texsplit RUNTIME DESTINATION .)
  # Text files as Notepad of every age reads them: CR LF line ends.
  # The README's pages in docs\ keep their names, so that its links hold.
  file(GLOB pages RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/docs/*.md)
  set(pairs "README.md:README.txt" "LICENSE:LICENSE.txt")
  foreach(page IN LISTS pages)
    list(APPEND pairs "${page}:${page}")
  endforeach()
  foreach(pair IN LISTS pairs)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    file(READ ${PROJECT_SOURCE_DIR}/${from} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/package/${to} "${text}")
    get_filename_component(folder ${to} DIRECTORY)
    install(FILES ${CMAKE_BINARY_DIR}/package/${to} DESTINATION ./${folder})
  endforeach()
else()
  install(TARGETS texweld texsplit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Man pages compressed as Debian installs them: gzip at its best, with no
  # name or time stamp inside, so the same page makes the same bytes.
  find_program(TEXWELD_GZIP gzip REQUIRED)
  set(pages)
  foreach(page IN ITEMS texweld texsplit)
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
    add_custom_command(
      OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1.gz
      COMMAND ${TEXWELD_GZIP} -9nkf ${CMAKE_BINARY_DIR}/man/${page}.1
      DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.1
      VERBATIM)
    list(APPEND pages ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The licence as Debian's machine-readable copyright file: a header, then
  # the MIT text with each line indented and each empty line a lone dot.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(REGEX REPLACE "^MIT License\n\nCopyright \(c\) ([^\n]*)\n\n" "" terms "${license}")
  string(REGEX MATCH "Copyright \(c\) [^\n]*" holder "${license}")
  string(REPLACE "Copyright (c) " "" holder "${holder}")
  string(STRIP "${terms}" terms)
  string(REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REPLACE "\n" "\n " terms "${terms}")
  file(WRITE ${CMAKE_BINARY_DIR}/package/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: texweld
Upstream-Contact: ${TEXWELD_MAINTAINER}

Files: *
Copyright: ${holder}
License: Expat
 ${terms}
")
  # A native package's changelog, and lintian's word on the static PIE
  # programs, which it takes for shared libraries (no interpreter).
  configure_file(${PROJECT_SOURCE_DIR}/cmake/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
    COMMAND ${TEXWELD_GZIP} -9nkf ${CMAKE_BINARY_DIR}/package/changelog
    DEPENDS ${CMAKE_BINARY_DIR}/package/changelog
    VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
  install(FILES README.md ${CMAKE_BINARY_DIR}/package/copyright ${CMAKE_BINARY_DIR}/package/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The sample workflow builds everything that `cmake --install` installs.
  if(TARGET sample)
    add_dependencies(sample texsplit man_pages changelog)
  endif()
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")
  # lintian's word goes into the .deb alone (cmake/PackageProjects.cmake),
  # never into a prefix that `cmake --install` fills.
  if(TEXWELD_STATIC_PIE)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
            RENAME texweld COMPONENT debian EXCLUDE_FROM_ALL)
  endif()
endif()

set(CPACK_PACKAGE_NAME texweld)
set(CPACK_PACKAGE_VENDOR "The Texweld developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reassemble split DDS textures, and split them again")
set(CPACK_PACKAGE_DESCRIPTION "Texweld rebuilds one DDS texture from the chunk files its mip levels were
split into (<base>.0 holding the header and the smallest levels, <base>.1
to <base>.N one larger level each), checking every chunk against the size
its header gives it. texsplit does the inverse.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME texweld-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME texweld-${PROJECT_VERSION}-win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TEXWELD_MAINTAINER}")
  # CPack puts the summary line first and the description below it.
  # Static programs (cmake/Runtimes.cmake) depend on no library at all.
  find_program(TEXWELD_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT TEXWELD_STATIC_PIE AND TEXWELD_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  elseif(NOT TEXWELD_STATIC_PIE)
    # The C++ runtime is linked in: the C library is all the programs need.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
  endif()
endif()
set(CPACK_TEXWELD_BUILD_DIR ${CMAKE_BINARY_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackageProjects.cmake)
include(CPack)
