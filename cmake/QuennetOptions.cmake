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
