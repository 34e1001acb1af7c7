# Checks of the macOS platform that run on every host, included from
# src/CMakeLists.txt whether or not the platform itself is built:
#  - kestreye_macos_tests: unit tests of the parts without an Apple header
#    (text and caret conversions, the read guards).

if(NOT BUILD_TESTING)
  return()
endif()

set(_kestreye_macos_dir ${CMAKE_CURRENT_LIST_DIR})

add_executable(kestreye_macos_tests
  ${_kestreye_macos_dir}/conversions.cpp
  ${_kestreye_macos_dir}/conversions_test.cpp
  ${_kestreye_macos_dir}/read_guard.cpp
  ${_kestreye_macos_dir}/read_guard_test.cpp
)
# The memory platform supplies the retain and release behind Element.
target_link_libraries(kestreye_macos_tests PRIVATE
  kestreye_core kestreye_platform_memory
  GTest::gtest GTest::gtest_main kestreye_warnings)
include(GoogleTest)
gtest_discover_tests(kestreye_macos_tests DISCOVERY_TIMEOUT 60)
