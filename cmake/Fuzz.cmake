# The fuzz targets (fuzz/): the platform-free parsers built with clang's
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, each target a
# ctest test that fuzzes for a bounded time from the kept corpus.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "the fuzz targets need clang (libFuzzer)")
endif()
add_compile_options(-Wall -Wextra -fno-omit-frame-pointer
                    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined)
add_link_options(-fsanitize=address,undefined)

function(updater_target_defaults target)
endfunction()

add_subdirectory(framework)
add_subdirectory(fetchkit)
add_subdirectory(engine)
add_subdirectory(app)
add_subdirectory(tools/release)
add_subdirectory(fuzz)
