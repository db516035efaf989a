# Runs PROGRAM and fails unless it exits with 0 and its standard output equals the file EXPECTED.
# Usage: cmake -DPROGRAM=path -DEXPECTED=path -P check_output.cmake
execute_process(COMMAND ${PROGRAM} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(READ ${EXPECTED} want)
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "${PROGRAM} exited with ${rc}\n--- standard output:\n${out}--- standard error:\n${err}")
endif()
if(NOT out STREQUAL want)
  message(FATAL_ERROR "${PROGRAM}: the output differs from ${EXPECTED}\n--- got:\n${out}--- expected:\n${want}"
                      "--- standard error:\n${err}")
endif()
message(STATUS "${PROGRAM}: exit status 0, output as expected")
