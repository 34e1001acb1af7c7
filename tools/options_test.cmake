# Checks one way of a tool's options. Usage:
#   cmake -DTOOL=BIN -DWAY=help|version|unknown -DVERSION=X.Y.Z -DWORK=DIR -P options_test.cmake
# The tool runs in the empty folder WORK with no input: --help prints its
# usage on standard output, --version its name and the package's version,
# both with status 0; a word that looks like an option (here also a fine
# name for a file) is refused with one line on standard error, status 2, and
# nothing written.
get_filename_component(_name "${TOOL}" NAME)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(_word_help --help)
set(_word_version --version)
set(_word_unknown -out.json)
execute_process(COMMAND "${TOOL}" ${_word_${WAY}}
                WORKING_DIRECTORY "${WORK}" INPUT_FILE /dev/null
                OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _status
                TIMEOUT 20)
file(GLOB _left "${WORK}/*" "${WORK}/.*")
file(REMOVE_RECURSE "${WORK}")
set(_status_help 0)
set(_status_version 0)
set(_status_unknown 2)
set(_err_unknown "${_name}: unknown option -out.json (see ${_name} --help)\n")
if(WAY STREQUAL "help")
  string(FIND "${_out}" "usage: ${_name}" _at)
  if(NOT _at EQUAL 0 OR NOT _out MATCHES "\n  --version  +show the version and exit\n$")
    message(FATAL_ERROR "no usage on standard output:\n${_out}")
  endif()
elseif(WAY STREQUAL "version")
  if(NOT _out STREQUAL "${_name} ${VERSION}\n")
    message(FATAL_ERROR "standard output is not \"${_name} ${VERSION}\":\n${_out}")
  endif()
elseif(NOT _out STREQUAL "")
  message(FATAL_ERROR "standard output is not empty:\n${_out}")
endif()
if(NOT _status STREQUAL _status_${WAY})
  message(FATAL_ERROR "${_name} exited with ${_status}, not ${_status_${WAY}}:\n${_err}")
endif()
if(NOT _err STREQUAL "${_err_${WAY}}")
  message(FATAL_ERROR "standard error differs\nexpected: ${_err_${WAY}}actual:   ${_err}")
endif()
if(_left)
  message(FATAL_ERROR "${_name} wrote ${_left}")
endif()
