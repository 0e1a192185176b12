# What `cmake --install` puts where: the programs in bin/, libserilo.so with
# its versioned soname in lib/ (the programs find it through their RUNPATH
# $ORIGIN/../lib), the service unit in lib/systemd/system/ and the log
# rotation in /etc/logrotate.d/ (PREFIX/etc/logrotate.d for a prefix other
# than /usr), the licence and the README in share/doc/wtalvoc/. The man
# pages are in manpages.cmake.

# libserilo.so.1 -> libserilo.so.1.6.1; the soname follows the major version,
# which changes when the six exports change.
set_target_properties(serilo PROPERTIES VERSION ${PROJECT_VERSION}
                                        SOVERSION ${PROJECT_VERSION_MAJOR})

foreach(program wtalvoc talvocfg talvoterm dbftool)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
  endif()
endforeach()
# Only the run-time library: nothing links against it but our own programs.
install(TARGETS serilo LIBRARY DESTINATION lib NAMELINK_SKIP)

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
