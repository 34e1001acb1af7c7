# Checks of the macOS platform that run on every host, included from
# src/CMakeLists.txt whether or not the platform itself is built:
#  - kestreye_macos_tests: the caret conversion, which needs no Apple header;
#  - macos_syntax: a -fsyntax-only compile, with the project's warnings, of
#    the sources that do include Apple headers, against the declarations in
#    sdk_decls/. Only on hosts without Apple's SDK; a Mac compiles them for
#    real instead.
#  - kestreye_macos_fake_tests: the same sources compiled and run against the
#    fake SDK of sdk_fake/, which implements those declarations in-process
#    and checks reference counts and boxed types; the read guards are tested
#    through it. Also only on hosts without Apple's SDK.

if(NOT BUILD_TESTING)
  return()
endif()

set(_kestreye_macos_dir ${CMAKE_CURRENT_LIST_DIR})

add_executable(kestreye_macos_tests
  ${_kestreye_macos_dir}/conversions.cpp
  ${_kestreye_macos_dir}/conversions_test.cpp
)
target_link_libraries(kestreye_macos_tests PRIVATE
  kestreye_platform_api kestreye_text GTest::gtest GTest::gtest_main
  kestreye_warnings)
gtest_discover_tests(kestreye_macos_tests DISCOVERY_TIMEOUT 60)

if(NOT APPLE)
  # sdk_decls is handed to these compiles only: no target ever has it on
  # its include path, and each of its headers refuses an Apple target.
  set(_kestreye_macos_apple_sources
    ${_kestreye_macos_dir}/cf_values.cpp
    ${_kestreye_macos_dir}/macos_platform.cpp
  )
  set(_kestreye_macos_syntax_flags
    ${CMAKE_CXX20_STANDARD_COMPILE_OPTION}
    -fsyntax-only
    $<TARGET_PROPERTY:kestreye_warnings,INTERFACE_COMPILE_OPTIONS>
    -isystem ${_kestreye_macos_dir}/sdk_decls
    -I${PROJECT_SOURCE_DIR}/src
  )
  add_test(NAME macos_syntax
    COMMAND ${CMAKE_CXX_COMPILER} ${_kestreye_macos_syntax_flags}
            ${_kestreye_macos_apple_sources}
    COMMAND_EXPAND_LISTS)

  # Apple's compiler is a clang: when the build uses another compiler,
  # check with clang as well if there is one. The warning options were
  # chosen for the build's compiler; clang skips those it does not know.
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    find_program(KESTREYE_CLANGXX NAMES clang++)
    if(KESTREYE_CLANGXX)
      add_test(NAME macos_syntax_clang
        COMMAND ${KESTREYE_CLANGXX} ${_kestreye_macos_syntax_flags}
                -Wno-unknown-warning-option
                ${_kestreye_macos_apple_sources}
        COMMAND_EXPAND_LISTS)
    endif()
  endif()

  add_library(kestreye_macos_fake STATIC
    ${_kestreye_macos_dir}/sdk_fake/fake_objc.c
    ${_kestreye_macos_dir}/sdk_fake/fake_sdk.cpp
    ${_kestreye_macos_dir}/cf_values.cpp
    ${_kestreye_macos_dir}/conversions.cpp
    ${_kestreye_macos_dir}/macos_platform.cpp
    ${_kestreye_macos_dir}/read_guard.cpp
  )
  target_include_directories(kestreye_macos_fake SYSTEM PUBLIC
    ${_kestreye_macos_dir}/sdk_decls)
  target_link_libraries(kestreye_macos_fake PUBLIC kestreye_platform_api
                        PRIVATE kestreye_text kestreye_warnings)

  add_executable(kestreye_macos_fake_tests
    ${_kestreye_macos_dir}/macos_platform_test.cpp)
  # The end-to-end cases scan through the core; reads are shown as a fixture
  # file writes them.
  target_link_libraries(kestreye_macos_fake_tests PRIVATE
    kestreye_macos_fake kestreye_core kestreye_fixture_writer GTest::gtest
    GTest::gtest_main kestreye_warnings)
  gtest_discover_tests(kestreye_macos_fake_tests DISCOVERY_TIMEOUT 60)
endif()
