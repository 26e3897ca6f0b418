# Read by CPack once per package it makes: the .deb also takes the
# "debian" component (lintian's overrides), which no plain install gets.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "${CPACK_TEXWELD_BUILD_DIR};Texweld;Unspecified;/"
      "${CPACK_TEXWELD_BUILD_DIR};Texweld;debian;/")
endif()
