# Compiler settings shared by every target of the project.

# Reproducible floating point: the same input renders bit-identically on any x86-64 machine.
# No fast-math, no fused multiply-add contraction, no flush-to-zero (SSE2 arithmetic, IEEE rounding).
add_compile_options(-ffp-contract=off -fno-fast-math -fno-unsafe-math-optimizations)

# Sanitizer configurations of the same project: -DQUENNET_SANITIZE=address (with undefined) or thread.
set(QUENNET_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
if(QUENNET_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(QUENNET_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT QUENNET_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QUENNET_SANITIZE must be empty, address or thread")
endif()

# Warnings for our own targets (not for third-party code).
function(quennet_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
endfunction()

# Fuzzing build (clang only): coverage instrumentation everywhere, AddressSanitizer and
# UndefinedBehaviorSanitizer on, the fuzz targets in tests/fuzz.
option(QUENNET_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(QUENNET_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QUENNET_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
