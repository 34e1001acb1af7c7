# kestreye_require_or_skip(SUITE PACKAGE [WHY]) is called where SUITE (a test
# suite, or the part of one that an application runs) is about to be left out
# because PACKAGE is not installed. On a developer's machine it says so in a
# status line and the configuration goes on. Under CI (the environment
# variable CI set and not empty) the configuration stops instead, naming the
# package: a CI run that quietly tests less must not pass.
function(kestreye_require_or_skip suite package)
  set(_why "${ARGN}")
  if(_why STREQUAL "")
    set(_why "${package} is not installed")
  endif()
  if(NOT "$ENV{CI}" STREQUAL "")
    message(FATAL_ERROR
      "${suite} would be left out: ${_why}. CI is set, so every suite must "
      "run: install the Debian package ${package} (scripts/setup lists it).")
  endif()
  message(STATUS "${suite}: off (${_why})")
endfunction()
