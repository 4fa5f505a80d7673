# What trelk installs besides its programs, and the Debian package.
#
#   cmake --install build [--prefix DIR]   programs, man pages, bash completion,
#                                           sample package, README, copyright,
#                                           changelog
#   cpack --config build/CPackConfig.cmake -G DEB
#                                           trelk_<version>_<arch>.deb
#
# The programs' own install rules live beside them (src/, tools/*/); this file
# is included after them so it can see which tools were built.

set(TRELK_PACKAGE_MAINTAINER "trelk developers <trelk@example.org>" CACHE STRING
    "Maintainer field of the Debian package")

# Man pages carry the version and the compiled-in firmware host, so they are
# configured, then compressed as Debian installs man pages.
set(TRELK_VERSION ${PROJECT_VERSION})
set(trelk_man_pages trelk trelk-pkg)
if(TARGET trelk-hubsim)
  list(APPEND trelk_man_pages trelk-hubsim)
endif()
if(TARGET trelk-fleet)
  list(APPEND trelk_man_pages trelk-fleet)
  install(FILES ${PROJECT_SOURCE_DIR}/completions/trelk-fleet
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()
find_program(TRELK_GZIP gzip REQUIRED)
set(trelk_man_outputs)
foreach(page ${trelk_man_pages})
  set(src ${PROJECT_SOURCE_DIR}/man/${page}.1.in)
  set(man ${PROJECT_BINARY_DIR}/man/${page}.1)
  configure_file(${src} ${man} @ONLY)
  add_custom_command(OUTPUT ${man}.gz
    COMMAND ${TRELK_GZIP} -9 -n -c ${man} > ${man}.gz
    DEPENDS ${man} ${src}
    COMMENT "Compressing man page ${page}(1)"
    VERBATIM)
  list(APPEND trelk_man_outputs ${man}.gz)
endforeach()
add_custom_target(trelk_man_pages ALL DEPENDS ${trelk_man_outputs})
install(FILES ${trelk_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${PROJECT_SOURCE_DIR}/completions/trelk
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${PROJECT_SOURCE_DIR}/samples/sample-v3.10.ufw
  DESTINATION ${CMAKE_INSTALL_DATADIR}/trelk)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(TARGET trelk-fleet)
  # The flash station's unit, as an example to copy: a station is a choice
  # of the machine's owner, so the package never enables (or installs) it.
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/systemd/trelk-station.service
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

# Debian wants the licence as /usr/share/doc/trelk/copyright (machine-readable
# format) and the package's changelog beside it, compressed as gzip -9n does so
# that two builds give the same bytes. The version has no Debian revision, so
# the package is native and the file is changelog.gz, not changelog.Debian.gz.
set(trelk_debian_dir ${PROJECT_SOURCE_DIR}/packaging/debian)
file(STRINGS ${trelk_debian_dir}/changelog trelk_changelog_top LIMIT_COUNT 1)
string(FIND "${trelk_changelog_top}" "trelk (${PROJECT_VERSION}) " trelk_changelog_at)
if(NOT trelk_changelog_at EQUAL 0)
  message(FATAL_ERROR "packaging/debian/changelog starts with '${trelk_changelog_top}': "
                      "add an entry for version ${PROJECT_VERSION} at its top")
endif()
set(trelk_changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${trelk_changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND ${TRELK_GZIP} -9 -n -c ${trelk_debian_dir}/changelog > ${trelk_changelog_gz}
  DEPENDS ${trelk_debian_dir}/changelog
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(trelk_changelog ALL DEPENDS ${trelk_changelog_gz})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${trelk_debian_dir}/changelog)
install(FILES ${trelk_debian_dir}/copyright ${trelk_changelog_gz}
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trelk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "trelk developers")
set(CPACK_PACKAGE_CONTACT ${TRELK_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Varnholt multi-port USB hubs")
set(CPACK_PACKAGE_DESCRIPTION
    "trelk writes new firmware into every board of a Varnholt hub through the\n"
    "hub's USB serial port, in CRC-verified blocks, and survives the port being\n"
    "unplugged mid-upload. The package also holds trelk-fleet, which updates\n"
    "every hub of a machine side by side, trelk-pkg, which inspects, verifies\n"
    "and builds firmware packages, and trelk-hubsim, a simulated hub to try\n"
    "trelk without one.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps finds libudev1, the C++ runtime and libc with the versions
# the binaries were linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
include(CPack)
