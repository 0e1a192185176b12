# What `cmake --install` puts where: the programs in bin/, libserilo.so with
# its versioned soname in the private folder lib/wtalvoc/ (the programs find
# it through their RUNPATH $ORIGIN/../lib/wtalvoc; nothing else links it, so
# it needs no package of its own, no shlibs entry and no ldconfig run), the
# service unit in lib/systemd/system/ and the log rotation in
# /etc/logrotate.d/ (PREFIX/etc/logrotate.d for a prefix other than /usr),
# the licence, the README and the compressed change log in
# share/doc/wtalvoc/. The man pages are in manpages.cmake.

# libserilo.so.1 -> libserilo.so.1.6.1; the soname follows the major version,
# which changes when the six exports change.
set_target_properties(serilo PROPERTIES VERSION ${PROJECT_VERSION}
                                        SOVERSION ${PROJECT_VERSION_MAJOR}
                                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/wtalvoc)

foreach(program wtalvoc talvocfg talvoterm dbftool)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
  endif()
endforeach()
# Only the run-time library: nothing links against it but our own programs.
install(TARGETS serilo LIBRARY DESTINATION lib/wtalvoc NAMELINK_SKIP)

# The unit names the installed program, and the log rotation lives under
# /etc, so both are placed when installing, from the prefix installed to.
# The unit is generated into the build tree (never beside the sources, and
# never into the directory `cmake --install` happens to run in).
set(WTALVOC_DIST_DIR ${CMAKE_SOURCE_DIR}/dist)
install(CODE "set(WTALVOC_DIST_DIR \"${WTALVOC_DIST_DIR}\")")
install(CODE "set(WTALVOC_UNIT_DIR \"${CMAKE_BINARY_DIR}/dist\")")
install(CODE [[
  set(BINDIR "${CMAKE_INSTALL_PREFIX}/bin")
  configure_file("${WTALVOC_DIST_DIR}/wtalvoc@.service.in"
                 "${WTALVOC_UNIT_DIR}/wtalvoc@.service" @ONLY)
  file(INSTALL "${WTALVOC_UNIT_DIR}/wtalvoc@.service"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(etc "/etc")
  else()
    set(etc "${CMAKE_INSTALL_PREFIX}/etc")
  endif()
  file(INSTALL "${WTALVOC_DIST_DIR}/logrotate" DESTINATION "${etc}/logrotate.d"
       RENAME wtalvoc)
]])

install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION share/doc/wtalvoc RENAME copyright)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/wtalvoc)
# The change log, compressed as Debian keeps it (gzip -9n: no name, no date,
# so the same sources give the same bytes).
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/dist/changelog.gz
  COMMAND ${GZIP} -9nc ${CMAKE_SOURCE_DIR}/dist/debian/changelog > ${CMAKE_BINARY_DIR}/dist/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/dist/debian/changelog
  COMMENT "Change log"
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/dist/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/dist)
install(FILES ${CMAKE_BINARY_DIR}/dist/changelog.gz DESTINATION share/doc/wtalvoc)
