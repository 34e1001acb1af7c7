# Replays one case and compares its reply line, byte for byte, with the
# expected one. Usage: cmake -DREPLAY=BIN -DFIXTURE=NAME.json -P run_case.cmake
string(REGEX REPLACE "\\.json$" ".reply" _expected_file "${FIXTURE}")
if(NOT EXISTS "${_expected_file}")
  message(FATAL_ERROR "no expected reply: ${_expected_file}")
endif()
file(READ "${_expected_file}" _expected)
execute_process(COMMAND "${REPLAY}" "${FIXTURE}" scan
                OUTPUT_VARIABLE _actual ERROR_VARIABLE _log
                RESULT_VARIABLE _status)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "kestreye-replay exited with ${_status}:\n${_log}")
endif()
if(NOT _actual STREQUAL _expected)
  message(FATAL_ERROR "reply differs\nexpected: ${_expected}actual:   ${_actual}")
endif()
