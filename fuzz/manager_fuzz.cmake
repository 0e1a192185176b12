# The manager's code (all of it but main.cpp), compiled once more with
# coverage instrumentation for the fuzz targets that drive the manager, on
# the instrumented table store, together with dbftool's index writer (and
# its common routines) and the targets' data directory. Included by their CMakeLists; made once.
include_guard(GLOBAL)
include(${CMAKE_SOURCE_DIR}/fuzz/fuzz_target.cmake)
file(GLOB FUZZ_MANAGER_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/manager/*.cpp
  ${CMAKE_SOURCE_DIR}/manager/requests/*.cpp)
list(REMOVE_ITEM FUZZ_MANAGER_SOURCES ${CMAKE_SOURCE_DIR}/manager/main.cpp)
add_library(manager_fuzz STATIC ${FUZZ_MANAGER_SOURCES} ${CMAKE_SOURCE_DIR}/tools/dbftool/create.cpp
  ${CMAKE_SOURCE_DIR}/tools/dbftool/common.cpp ${CMAKE_SOURCE_DIR}/tools/dbftool/options.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/common/data_directory.cpp)
target_compile_options(manager_fuzz PRIVATE -fsanitize=fuzzer-no-link)
target_link_libraries(manager_fuzz PUBLIC tablestore_fuzz platform platform_x11 serilo_core)
