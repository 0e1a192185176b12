# `cpack` in the build folder makes the Debian package: everything that
# `cmake --install` installs, under /usr, the log rotation in /etc, and a
# system user wtalvoc for the service made when it is installed. One package
# for headless and desktop sites: the manager loads the display library when
# a display is there (platform/xlib_calls.h), so it depends on no X library.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wtalvoc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The change log's newest entry is this version (a package whose change log
# says otherwise is refused by the archive tools).
file(STRINGS ${CMAKE_SOURCE_DIR}/dist/debian/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^wtalvoc \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "dist/debian/changelog does not begin with version ${PROJECT_VERSION}: ${changelog_top}")
endif()
# The project's own address in the reserved example domain (lintian refuses
# localhost and localdomain hosts as bogus).
set(CPACK_PACKAGE_CONTACT "WTALVOC maintainers <wtalvoc@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "PC side of a serial multidrop network of data terminals")
set(CPACK_PACKAGE_DESCRIPTION
    "The manager wtalvoc polls the terminals through the link driver\n\
libserilo.so and serves their requests against shared dBASE III tables\n\
with their indexes, text files, printers, the clock and application\n\
images. With talvocfg (configuration), talvoterm (terminal simulator)\n\
and dbftool (tables and indexes).")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# Installed with the prefix /usr into the staging root, so that what goes
# to /etc lands in the package's /etc.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The private library folder is searched for what the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib/wtalvoc)
# The window on a desktop (libX11, present wherever there is a display).
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libx11-6, logrotate, systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/dist/debian/postinst
    ${CMAKE_SOURCE_DIR}/dist/debian/postrm
    ${CMAKE_SOURCE_DIR}/dist/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
