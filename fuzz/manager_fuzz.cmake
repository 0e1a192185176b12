# The manager's code (all of it but main.cpp) with its table store, compiled
# once more with coverage instrumentation for the fuzz targets that drive
# the manager, together with dbftool's index writer and the targets' data
# directory. Included by their CMakeLists; the library is made once.
include_guard(GLOBAL)
file(GLOB FUZZ_MANAGER_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/manager/*.cpp
  ${CMAKE_SOURCE_DIR}/manager/requests/*.cpp
  ${CMAKE_SOURCE_DIR}/manager/tablestore/*.cpp)
list(REMOVE_ITEM FUZZ_MANAGER_SOURCES ${CMAKE_SOURCE_DIR}/manager/main.cpp)
add_library(manager_fuzz STATIC ${FUZZ_MANAGER_SOURCES} ${CMAKE_SOURCE_DIR}/tools/dbftool/create.cpp
  ${CMAKE_SOURCE_DIR}/tools/dbftool/options.cpp ${CMAKE_SOURCE_DIR}/fuzz/common/data_directory.cpp)
target_compile_options(manager_fuzz PRIVATE -fsanitize=fuzzer-no-link)
target_link_libraries(manager_fuzz PUBLIC platform platform_x11 serilo_core)
