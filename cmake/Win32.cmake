# Windows build: Updater.exe and the test programs, run under Wine by ctest.
enable_language(RC)

set(WARNINGS -Wall -Wextra -Wno-cast-function-type)
# Chinese literals become code page 936 bytes; only our own sources get this.
set(GBK_FLAGS -finput-charset=UTF-8 -fexec-charset=GBK)
# Unicode programs: text on its way to the screen and paths are UTF-16.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0700)
add_link_options(-static -static-libgcc -static-libstdc++)
# What ships is lean: code and data nothing uses are collected, and a release
# build carries no symbols (a debug build keeps them for a debugger).
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections $<$<CONFIG:Release>:-s>)
# -O2 rather than -O3: a third smaller and as fast in the update (bench;
# -Os was smaller still but slowed the transfers by a fifth); the
# fingerprint's and the patches' inner loops keep -O3 (engine/CMakeLists.txt).
string(REPLACE "-O3" "-O2" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
string(REPLACE "-O3" "-O2" CMAKE_C_FLAGS_RELEASE "${CMAKE_C_FLAGS_RELEASE}")
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")

set(WINE_STATE_DIR ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh;${WINE_STATE_DIR})

function(updater_target_defaults target)
  target_compile_options(${target} PRIVATE ${WARNINGS} ${GBK_FLAGS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  # Every program runs as invoked, whatever its name (see res/Updater.manifest).
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/res/Manifest.rc)
  endif()
  if(type STREQUAL "EXECUTABLE" OR type STREQUAL "SHARED_LIBRARY")
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/framework/QuietTerminate.cpp)
  endif()
endfunction()

# The public release keys a program trusts (.pub files of `update-release
# keygen`), embedded as RCDATA 300 and up (engine/crypto/Signature.h).
function(updater_release_keys target keys)
  if(NOT keys)
    return()
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_keys.rc)
  set(content "// The release keys of ${target}.\n")
  set(id 300)
  foreach(key IN LISTS keys)
    string(APPEND content "${id} RCDATA \"${key}\"\n")
    math(EXPR id "${id} + 1")
  endforeach()
  file(GENERATE OUTPUT ${rc} CONTENT "${content}")
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${keys}")
  target_sources(${target} PRIVATE ${rc})
endfunction()

# Programs and the DLL side by side, as installed.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

option(UPDATER_WIN32_TESTS "Build the Windows test programs and benchmarks" ON)
# The release keys the build makes for the tests and the demo.
set(RELEASE_KEY_DIR ${CMAKE_BINARY_DIR}/keys)

# Linked only downwards: app -> ui -> skin -> framework, app -> engine ->
# framework; the engine reaches Fetchkit.dll only through its header.
add_subdirectory(framework)
add_subdirectory(fetchkit)
add_subdirectory(skin)
add_subdirectory(engine)
add_subdirectory(ui)
add_subdirectory(app)
add_subdirectory(service)
add_subdirectory(tools/sample-product)
add_subdirectory(tools/demo-driver)

if(NOT UPDATER_WIN32_TESTS)
  return()
endif()

# GoogleTest cross-built from the sources Debian ships.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_subdirectory(tests/win32)
add_subdirectory(bench)
