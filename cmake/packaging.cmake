# Installation and the Debian package.
#
# The layout is the same under every prefix (cmake --install --prefix P, or
# /usr in the package):
#
#   P/bin/vornhall                               the client
#   P/lib/libvornhall_platform.so.<version>      the platform, SONAME .so.<major>
#   P/lib/vornhall/Vornhall.so                   the component module
#   P/include/vornhall/{platform,automation,ini,registry,module}/...
#                                                the headers a C++ client needs (module/vornhall.h)
#   P/lib/pkgconfig/vornhall.pc
#   P/share/man/man1/vornhall.1.gz               made from vornhall --help
#   P/share/bash-completion/completions/vornhall
#   P/share/doc/vornhall/{README.md,reference.md}
#
# The client finds the module relative to itself (../lib/vornhall) and the
# platform library through its run path ($ORIGIN/../lib); the module finds
# the platform library through $ORIGIN/.., so nothing depends on the prefix.
set(VH_BINDIR bin)
set(VH_LIBDIR lib)
set(VH_MODULEDIR ${VH_LIBDIR}/vornhall)
set(VH_INCLUDEDIR include/vornhall)
set(VH_DOCDIR share/doc/vornhall)

set_target_properties(vornhall_platform PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(vornhall PROPERTIES INSTALL_RPATH "$ORIGIN/../${VH_LIBDIR}")
set_target_properties(Vornhall PROPERTIES INSTALL_RPATH "$ORIGIN/..")
file(RELATIVE_PATH VH_INSTALLED_MODULE /${VH_BINDIR} /${VH_MODULEDIR}/Vornhall.so)
target_compile_definitions(vornhall PRIVATE VH_INSTALLED_MODULE="${VH_INSTALLED_MODULE}")

install(TARGETS vornhall RUNTIME DESTINATION ${VH_BINDIR})
install(TARGETS vornhall_platform LIBRARY DESTINATION ${VH_LIBDIR})
install(TARGETS Vornhall LIBRARY DESTINATION ${VH_MODULEDIR})

install(FILES ${CMAKE_SOURCE_DIR}/platform/win32.h DESTINATION ${VH_INCLUDEDIR}/platform)
install(FILES ${CMAKE_SOURCE_DIR}/platform/linux/win32_linux.h ${CMAKE_SOURCE_DIR}/platform/linux/win32_ole.h
              ${CMAKE_SOURCE_DIR}/platform/linux/win32_registry.h
        DESTINATION ${VH_INCLUDEDIR}/platform/linux)
install(FILES ${CMAKE_SOURCE_DIR}/automation/interfaces.h DESTINATION ${VH_INCLUDEDIR}/automation)
install(FILES ${CMAKE_SOURCE_DIR}/ini/ini_interface.h DESTINATION ${VH_INCLUDEDIR}/ini)
install(FILES ${CMAKE_SOURCE_DIR}/registry/registry_interface.h DESTINATION ${VH_INCLUDEDIR}/registry)
install(FILES ${CMAKE_SOURCE_DIR}/module/vornhall.h DESTINATION ${VH_INCLUDEDIR}/module)

# vornhall.pc names the prefix given at installation time.
install(CODE "
  set(VH_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(PROJECT_VERSION ${PROJECT_VERSION})
  set(VH_LIBDIR ${VH_LIBDIR})
  set(VH_INCLUDEDIR ${VH_INCLUDEDIR})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/vornhall.pc.in ${CMAKE_BINARY_DIR}/vornhall.pc @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/vornhall.pc DESTINATION ${VH_LIBDIR}/pkgconfig)

# The manual page is made from the client's --help and --version by
# help2man, with docs/reference.md named for the details.
find_program(VH_HELP2MAN help2man)
if(VH_HELP2MAN)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/vornhall.1.gz
    COMMAND ${VH_HELP2MAN} --no-info --section=1 --name "drive the Vornhall automation component"
            --include ${CMAKE_SOURCE_DIR}/packaging/vornhall.h2m --output ${CMAKE_BINARY_DIR}/vornhall.1
            $<TARGET_FILE:vornhall>
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/vornhall.1
    DEPENDS vornhall ${CMAKE_SOURCE_DIR}/packaging/vornhall.h2m
    COMMENT "Making the manual page from vornhall --help")
  add_custom_target(vornhall_manual ALL DEPENDS ${CMAKE_BINARY_DIR}/vornhall.1.gz)
  install(FILES ${CMAKE_BINARY_DIR}/vornhall.1.gz DESTINATION share/man/man1)
else()
  message(STATUS "help2man not found: no manual page is made or installed")
endif()

install(FILES ${CMAKE_SOURCE_DIR}/packaging/vornhall.bash-completion
        DESTINATION share/bash-completion/completions RENAME vornhall)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/reference.md DESTINATION ${VH_DOCDIR})

# The Debian package: cpack in a build folder writes vornhall_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vornhall)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vornhall developers")
set(CPACK_PACKAGE_CONTACT "Vornhall developers <maintainers@vornhall.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "in-process automation component for INI files and registry keys")
# cpack puts the summary first and indents the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Vornhall has two classes that programs create by name: iniHandler reads and
writes one INI (profile) file, RegistryHandler reads and writes registry keys
and values. On Linux the component runs on its own stand-ins of the Windows
platform: real INI files, and a registry kept in an SQLite database.

The package holds the command-line client vornhall, the component module,
the platform library, and the headers and pkg-config file for C++ clients.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/dist)
include(CPack)
