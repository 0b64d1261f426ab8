# Native build: platform-free core, its unit tests, the release tool, and the
# Windows tree as an external project whose tests join this tree's ctest run.
find_package(GTest REQUIRED)
include(ExternalProject)

add_compile_options(-Wall -Wextra -Wpedantic -Werror=return-type)

add_library(core STATIC ${CORE_SOURCES})
target_include_directories(core PUBLIC ${CMAKE_SOURCE_DIR})

add_subdirectory(tools/release)
add_subdirectory(tests/host)

option(UPDATER_WIN32 "Cross-build the Windows programs and their tests" ON)
if(UPDATER_WIN32)
  set(WIN32_BINARY_DIR ${CMAKE_BINARY_DIR}/win32)
  ExternalProject_Add(win32
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${WIN32_BINARY_DIR}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DHOST_TOOLS_DIR=${CMAKE_BINARY_DIR}/tools
      -G ${CMAKE_GENERATOR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  add_dependencies(win32 update-release)
  file(WRITE ${CMAKE_BINARY_DIR}/win32-tests.cmake "subdirs(\"${WIN32_BINARY_DIR}\")\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/win32-tests.cmake)
endif()
