# Flags of the fuzzing build (VELTRANE_FUZZ): every library is instrumented for libFuzzer's
# coverage and runs under AddressSanitizer + UndefinedBehaviorSanitizer; only the fuzz targets
# link the fuzzer's own main (fuzz/CMakeLists.txt).
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "VELTRANE_FUZZ needs clang (libFuzzer); this is ${CMAKE_CXX_COMPILER_ID}. "
                      "Use the linux-fuzz preset.")
endif()
if(VELTRANE_SANITIZE)
  message(FATAL_ERROR "VELTRANE_FUZZ brings its own sanitizers; leave VELTRANE_SANITIZE empty.")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=all)
add_link_options(-fsanitize=address,undefined)
