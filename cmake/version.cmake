# The product version: project(VERSION) is its one source. It becomes a
# header for the version resource and the client, and version.txt in the
# build folder for scripts/package.
if(PROJECT_VERSION_MINOR LESS 10)
  set(VH_VERSION_RESOURCE_TEXT "${PROJECT_VERSION_MAJOR}.0${PROJECT_VERSION_MINOR}")
else()
  set(VH_VERSION_RESOURCE_TEXT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${CMAKE_BINARY_DIR}/generated/vornhall_version.h @ONLY)
file(WRITE ${CMAKE_BINARY_DIR}/version.txt "${PROJECT_VERSION}\n")
