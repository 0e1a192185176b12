# `cpack` in the build folder makes the Debian package: everything that
# `cmake --install` installs, under /usr, the log rotation in /etc, and a
# system user wtalvoc for the service made when it is installed.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wtalvoc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "WTALVOC maintainers <root@localhost>")
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
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "logrotate, systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/dist/debian/postinst
    ${CMAKE_SOURCE_DIR}/dist/debian/postrm
    ${CMAKE_SOURCE_DIR}/dist/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
