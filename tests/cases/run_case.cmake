# Replays one case and compares its reply line, byte for byte, with the
# expected one. Usage: cmake -DREPLAY=BIN -DFIXTURE=NAME.json -P run_case.cmake
# Beside NAME.json and NAME.reply, a case may hold NAME.args (the command
# words in place of `scan`, one a line), NAME.options (kestreye-replay's own,
# before the fixture), NAME.status (the exit status, 0 when absent) and
# NAME.stderr (the whole of standard error, with the fixture's path written as
# its file name).
# With -DUPDATE=ON the case's files are rewritten from what the build answers
# instead (scripts/update-cases runs every case so), to be reviewed as a diff.
string(REGEX REPLACE "\\.json$" "" _case "${FIXTURE}")
get_filename_component(_file_name "${FIXTURE}" NAME)
# A case with a status may leave out its reply: nothing on standard output.
set(_expected "")
if(EXISTS "${_case}.reply")
  file(READ "${_case}.reply" _expected)
elseif(NOT EXISTS "${_case}.status")
  message(FATAL_ERROR "no expected reply: ${_case}.reply")
endif()
set(_words scan)
if(EXISTS "${_case}.args")
  file(STRINGS "${_case}.args" _words)
endif()
set(_options "")
if(EXISTS "${_case}.options")
  file(STRINGS "${_case}.options" _options)
endif()
set(_expected_status 0)
if(EXISTS "${_case}.status")
  file(STRINGS "${_case}.status" _expected_status)
endif()
execute_process(COMMAND "${REPLAY}" ${_options} "${FIXTURE}" ${_words}
                OUTPUT_VARIABLE _actual ERROR_VARIABLE _log
                RESULT_VARIABLE _status)
if(UPDATE)
  if(EXISTS "${_case}.reply" OR NOT _actual STREQUAL "")
    file(WRITE "${_case}.reply" "${_actual}")
  endif()
  if(EXISTS "${_case}.status" OR NOT _status STREQUAL "0")
    file(WRITE "${_case}.status" "${_status}\n")
  endif()
  if(EXISTS "${_case}.stderr")
    string(REPLACE "${FIXTURE}" "${_file_name}" _log "${_log}")
    file(WRITE "${_case}.stderr" "${_log}")
  endif()
  return()
endif()
if(NOT _status STREQUAL _expected_status)
  message(FATAL_ERROR "kestreye-replay exited with ${_status}, not ${_expected_status}:\n${_log}")
endif()
if(NOT _actual STREQUAL _expected)
  message(FATAL_ERROR "reply differs\nexpected: ${_expected}actual:   ${_actual}")
endif()
if(EXISTS "${_case}.stderr")
  file(READ "${_case}.stderr" _expected_log)
  string(REPLACE "${FIXTURE}" "${_file_name}" _log "${_log}")
  if(NOT _log STREQUAL _expected_log)
    message(FATAL_ERROR "standard error differs\nexpected: ${_expected_log}actual:   ${_log}")
  endif()
endif()
