# What `cmake --install` puts where, and the packages CPack makes of it:
# on Linux a .deb and a .tar.gz (bin/, share/man/man1/, share/doc/texweld/),
# for Windows a .zip with the programs, README.txt and LICENSE.txt at its
# root. Tests, samples, fuzz tools and the benchmark are not installed.
set(CMAKE_INSTALL_DOCDIR share/doc/texweld)
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS texweld texsplit RUNTIME DESTINATION .)
  # Text files as Notepad of every age reads them: CR LF line ends.
  foreach(pair IN ITEMS "README.md:README.txt" "LICENSE:LICENSE.txt")
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    file(READ ${PROJECT_SOURCE_DIR}/${from} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/package/${to} "${text}")
    install(FILES ${CMAKE_BINARY_DIR}/package/${to} DESTINATION .)
  endforeach()
else()
  install(TARGETS texweld texsplit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  foreach(page IN ITEMS texweld texsplit)
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
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
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Texweld developers <developers@texweld.invalid>")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n ${CPACK_PACKAGE_DESCRIPTION}")
  string(REPLACE "\n" "\n " CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  # Static programs (cmake/Runtimes.cmake) depend on no library at all.
  find_program(TEXWELD_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT TEXWELD_STATIC_PIE AND TEXWELD_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  elseif(NOT TEXWELD_STATIC_PIE)
    # The C++ runtime is linked in: the C library is all the programs need.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
  endif()
endif()
include(CPack)
