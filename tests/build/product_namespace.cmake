# SPDX-License-Identifier: ISC
# Checks that every source of the product's libraries (dsp, core, services, editor) opens namespace
# quennet at file scope, so that nothing of the product lands in the global namespace.
# Usage: cmake -DSOURCE_DIR=<repository> -P product_namespace.cmake
cmake_minimum_required(VERSION 3.25)
# VectorClones.h holds preprocessor macros only, which no namespace can hold.
set(exempt dsp/VectorClones.h)
set(missing)
foreach(folder dsp core services editor)
  file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.h)
  foreach(source ${sources})
    if(source IN_LIST exempt)
      continue()
    endif()
    file(STRINGS ${SOURCE_DIR}/${source} opening REGEX "^namespace quennet {$")
    file(STRINGS ${SOURCE_DIR}/${source} closing REGEX "^} // namespace quennet$")
    if(NOT opening OR NOT closing)
      list(APPEND missing ${source})
    endif()
  endforeach()
endforeach()
if(missing)
  list(JOIN missing "\n  " listed)
  message(FATAL_ERROR "these sources do not open and close namespace quennet at file scope:\n  ${listed}")
endif()
