# Man pages from their scdoc sources in man/ (NAME.SECTION.scd), compressed
# (gzip -9n) and installed to share/man/manSECTION. Without scdoc the build
# goes on without them.
find_program(SCDOC scdoc)
find_program(GZIP gzip REQUIRED)
file(GLOB MAN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.scd)
if(NOT SCDOC)
  message(STATUS "scdoc not found: the man pages are not built")
elseif(MAN_SOURCES)
  set(man_pages)
  foreach(source ${MAN_SOURCES})
    get_filename_component(page ${source} NAME_WLE) # wtalvoc.8
    string(REGEX REPLACE "^.*\\.([1-9])$" "\\1" section ${page})
    set(output ${CMAKE_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${output}
      COMMAND sh -c "${SCDOC} < \"$1\" | ${GZIP} -9n > \"$2\"" sh ${source} ${output}
      DEPENDS ${source}
      COMMENT "Man page ${page}"
      VERBATIM)
    list(APPEND man_pages ${output})
    install(FILES ${output} DESTINATION share/man/man${section})
  endforeach()
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
endif()
