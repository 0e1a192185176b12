# What every libFuzzer target shares (clang): the table store and the link
# driver compiled once more with coverage instrumentation, each made once for
# all the targets that use it, and fuzz_target(), which builds a target,
# adds it to `fuzzers` and gives it a short smoke run from its seeds (test
# label "fuzz"; new inputs go to the build tree, never to the sources).
include_guard(GLOBAL)

file(GLOB FUZZ_STORE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/manager/tablestore/*.cpp)
add_library(tablestore_fuzz STATIC ${FUZZ_STORE_SOURCES})
target_compile_options(tablestore_fuzz PRIVATE -fsanitize=fuzzer-no-link)
target_link_libraries(tablestore_fuzz PUBLIC platform)

file(GLOB FUZZ_DRIVER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/linkdriver/*.cpp)
add_library(serilo_fuzz STATIC ${FUZZ_DRIVER_SOURCES})
target_compile_definitions(serilo_fuzz PUBLIC SERILO_BUILD)
target_compile_options(serilo_fuzz PRIVATE -fsanitize=fuzzer-no-link)
target_link_libraries(serilo_fuzz PUBLIC platform)

# fuzz_target(NAME SOURCES file... LIBRARIES lib... ARGS option... SEEDS dir)
function(fuzz_target name)
  cmake_parse_arguments(F "" "SEEDS" "SOURCES;LIBRARIES;ARGS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBRARIES})
  add_dependencies(fuzzers ${name})
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/corpus)
  add_test(NAME ${name}_smoke
           COMMAND ${name} ${F_ARGS} ${CMAKE_CURRENT_BINARY_DIR}/corpus ${F_SEEDS})
  set_tests_properties(${name}_smoke PROPERTIES LABELS fuzz)
endfunction()
