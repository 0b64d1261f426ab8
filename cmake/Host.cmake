# Native build: platform-free core, its unit tests, the release tool, and the
# Windows tree as an external project whose tests join this tree's ctest run.
find_package(GTest REQUIRED)
include(ExternalProject)

add_compile_options(-Wall -Wextra -Wpedantic -Werror=return-type)

function(updater_target_defaults target)
endfunction()

add_subdirectory(framework)
add_subdirectory(fetchkit)
add_subdirectory(skin)
add_subdirectory(engine)
add_subdirectory(app)
add_subdirectory(tools/release)
add_subdirectory(tests/host)

# The fuzz targets need clang's libFuzzer: a configuration of their own.
option(UPDATER_FUZZ "Build the fuzz targets with clang and run each for a bounded time" ON)
if(UPDATER_FUZZ)
  set(FUZZ_BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz)
  ExternalProject_Add(fuzz
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${FUZZ_BINARY_DIR}
    CMAKE_ARGS
      -DCMAKE_C_COMPILER=clang
      -DCMAKE_CXX_COMPILER=clang++
      -DCMAKE_BUILD_TYPE=RelWithDebInfo
      -DUPDATER_FUZZ_BUILD=ON
      -G ${CMAKE_GENERATOR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  file(WRITE ${CMAKE_BINARY_DIR}/fuzz-tests.cmake "subdirs(\"${FUZZ_BINARY_DIR}\")\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/fuzz-tests.cmake)
endif()

option(UPDATER_WIN32 "Cross-build the Windows programs and their tests" ON)
if(UPDATER_WIN32)
  # The product is a 32-bit program. Where this machine cannot run 32-bit
  # code (some virtual machines run 64-bit user code only), the Windows
  # programs and tests are built for x86-64 and run under wine64, and the
  # 32-bit product is still built beside them (build/win32-i686/).
  if(NOT UPDATER_WINDOWS_ARCH)
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/windows-arch.sh
                    OUTPUT_VARIABLE detected OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(UPDATER_WINDOWS_ARCH ${detected} CACHE STRING "Windows architecture of the tested programs: i686 or x86_64")
  endif()
  message(STATUS "Windows programs are tested as ${UPDATER_WINDOWS_ARCH} builds")
  set(WIN32_BINARY_DIR ${CMAKE_BINARY_DIR}/win32)
  ExternalProject_Add(win32
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${WIN32_BINARY_DIR}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-${UPDATER_WINDOWS_ARCH}.cmake
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DHOST_TOOLS_DIR=${CMAKE_BINARY_DIR}/tools
      -G ${CMAKE_GENERATOR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  add_dependencies(win32 update-release)
  if(NOT UPDATER_WINDOWS_ARCH STREQUAL "i686")
    ExternalProject_Add(win32-i686
      SOURCE_DIR ${CMAKE_SOURCE_DIR}
      BINARY_DIR ${CMAKE_BINARY_DIR}/win32-i686
      CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
        -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -DUPDATER_WIN32_TESTS=OFF
        -G ${CMAKE_GENERATOR}
      BUILD_ALWAYS ON
      INSTALL_COMMAND ""
      USES_TERMINAL_BUILD ON)
  endif()
  file(WRITE ${CMAKE_BINARY_DIR}/win32-tests.cmake "subdirs(\"${WIN32_BINARY_DIR}\")\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/win32-tests.cmake)
endif()
