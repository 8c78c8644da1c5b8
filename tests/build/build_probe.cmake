# SPDX-License-Identifier: ISC
# Builds one include probe and checks the outcome: FOUND must compile; NOT_FOUND must fail because
# the header is not found (any other failure is a broken probe, not a proof).
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${TARGET}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(EXPECTATION STREQUAL "FOUND")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${HEADER} should compile here:\n${output}")
  endif()
elseif(result EQUAL 0)
  message(FATAL_ERROR "${HEADER} was found, though the library does not link its folder")
else()
  string(FIND "${output}" "${HEADER}: No such file or directory" missing)
  if(missing EQUAL -1)
    message(FATAL_ERROR "the probe failed for another reason than a missing ${HEADER}:\n${output}")
  endif()
endif()
