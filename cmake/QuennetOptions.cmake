# SPDX-License-Identifier: ISC
# Compiler settings shared by every target of the project.

# Reproducible floating point: the same input renders to the same bits on every x86-64 CPU with
# fused multiply-add and on aarch64 (tests/arch compares the two within 1e-9; they agree to the
# bit). x86-64 CPUs without fused multiply-add run SLEEF's other variants for the envelopes'
# powers, which differ in the last bits (about 1e-12 in the output). No fast-math, no contraction
# of our own arithmetic (which aarch64 compilers would otherwise fuse wherever they can), no
# flush-to-zero: IEEE double arithmetic and rounding on both.
add_compile_options(-ffp-contract=off -fno-fast-math -fno-unsafe-math-optimizations)

# The widest x86 vector unit that the run-time dispatch may choose (dsp/VectorClones.h,
# dsp/PowerBlock.cpp): empty for the CPU's widest, AVX2 or SSE2 to measure, on a machine with
# AVX-512, what CPUs without it get (`make bench` builds both). Only for benchmarks: a capped build
# renders within 1e-9 of the full one, but not to the bit.
set(QUENNET_VECTOR_CAP "" CACHE STRING "Cap the x86 vector dispatch: empty, AVX2 or SSE2")
set_property(CACHE QUENNET_VECTOR_CAP PROPERTY STRINGS "" AVX2 SSE2)
if(NOT QUENNET_VECTOR_CAP MATCHES "^(|AVX2|SSE2)$")
  message(FATAL_ERROR "QUENNET_VECTOR_CAP must be empty, AVX2 or SSE2")
endif()
# For the targets that hold vector code: only their files see the cap, so a capped build shares
# the compiler cache for the rest.
function(quennet_vector_code target)
  if(QUENNET_VECTOR_CAP)
    target_compile_definitions(${target} PRIVATE QUENNET_VECTOR_CAP_${QUENNET_VECTOR_CAP})
  endif()
endfunction()

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

# quennet_runnable(<variable> <executable target>): a path that a test can hand to execv to run
# the target. Natively the program itself; in a cross build a small script that starts it under
# the emulator (a process that the emulator runs cannot start a program of the target's
# architecture by itself).
function(quennet_runnable variable target)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(script ${PROJECT_BINARY_DIR}/emulated/${target})
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "' '" emulator)
    file(GENERATE OUTPUT ${script}
         CONTENT "#!/bin/sh\nexec '${emulator}' '$<TARGET_FILE:${target}>' \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(${variable} ${script} PARENT_SCOPE)
  else()
    set(${variable} $<TARGET_FILE:${target}> PARENT_SCOPE)
  endif()
endfunction()

# Each library sees only the source folders of what it links. `quennet_include_root(target folder)`
# gives the target (and, publicly, everything that links it) an include root holding that one folder,
# so `#include "folder/..."` resolves there; a folder it does not link is simply not found, and a
# wrong include fails to compile instead of building a dependency nobody declared.
function(quennet_include_root target folder)
  set(root ${PROJECT_BINARY_DIR}/include-roots/${folder})
  if(NOT EXISTS ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC ${root})
endfunction()

# `quennet_editor_assets(<target> <folder> <bundle>)`: a target that copies the editor's artwork and
# font into `folder`, beside a plug-in module, where the editor looks for them. `bundle` names it in
# the build's messages.
function(quennet_editor_assets target folder bundle)
  set(assets back.jpg knob.png switch.png handle.png learn.png unlearn.png led.png triangle.png Roboto-Bold.ttf)
  list(TRANSFORM assets PREPEND ${QUENNET_RESOURCES_DIR}/ OUTPUT_VARIABLE sources)
  list(TRANSFORM assets PREPEND ${folder}/ OUTPUT_VARIABLE copies)
  add_custom_command(
    OUTPUT ${copies}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${CMAKE_COMMAND} -E copy ${sources} ${folder}
    DEPENDS ${sources}
    COMMENT "Copying the editor's assets for ${bundle}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${copies})
  add_dependencies(${target} editor-art)
endfunction()
