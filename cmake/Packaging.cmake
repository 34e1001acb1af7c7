# Install rules and the Debian package (CPack). Included last by the top-level
# CMakeLists.txt, once every program target exists.
include(GNUInstallDirs)
# Whatever the umask of the build, installed folders are rwxr-xr-x.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Tests, benchmarks, fuzz targets and the demo have no install rules: only the
# programs a user runs go to bin.
install(TARGETS kestreye kestreye-mcp kestreye-record kestreye-replay
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, compressed as Debian and most distributions ship them (-n: no
# name or time stamp, so the package is reproducible). The record and replay
# tools are described in kestreye(1) and reach it through links.
find_program(KESTREYE_GZIP gzip REQUIRED)
file(GLOB _kestreye_man_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.1)
set(_kestreye_man_dir ${PROJECT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${_kestreye_man_dir})
set(_kestreye_man_pages)
foreach(_source IN LISTS _kestreye_man_sources)
  get_filename_component(_page ${_source} NAME)
  add_custom_command(
    OUTPUT ${_kestreye_man_dir}/${_page}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${_source} ${_kestreye_man_dir}/${_page}
    COMMAND ${KESTREYE_GZIP} -9 -n -f ${_kestreye_man_dir}/${_page}
    DEPENDS ${_source}
    COMMENT "Compressing the manual page ${_page}"
    VERBATIM)
  list(APPEND _kestreye_man_pages ${_kestreye_man_dir}/${_page}.gz)
endforeach()
add_custom_target(kestreye_man ALL DEPENDS ${_kestreye_man_pages})
set(_kestreye_man_links)
foreach(_tool IN ITEMS kestreye-record kestreye-replay)
  file(CREATE_LINK kestreye.1.gz ${_kestreye_man_dir}/${_tool}.1.gz SYMBOLIC)
  list(APPEND _kestreye_man_links ${_kestreye_man_dir}/${_tool}.1.gz)
endforeach()
install(FILES ${_kestreye_man_pages} ${_kestreye_man_links}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

file(GLOB _kestreye_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${_kestreye_docs}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# --- The Debian package -------------------------------------------------------
# `cpack -G DEB` in a build configured for /usr; scripts/package does it all.
# Debian policy asks every package for a copyright file and a changelog in
# /usr/share/doc/<package>; other installs keep them there too.
set(_kestreye_debian ${PROJECT_SOURCE_DIR}/cmake/debian)
file(STRINGS ${_kestreye_debian}/changelog _kestreye_changelog_head LIMIT_COUNT 1)
if(NOT _kestreye_changelog_head MATCHES "^kestreye \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR
    "cmake/debian/changelog does not start with version ${PROJECT_VERSION}: "
    "add an entry for it (first line: ${_kestreye_changelog_head})")
endif()
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${_kestreye_debian}/changelog ${PROJECT_BINARY_DIR}/debian/changelog
  COMMAND ${KESTREYE_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/debian/changelog
  DEPENDS ${_kestreye_debian}/changelog
  VERBATIM)
add_custom_target(kestreye_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
install(FILES ${_kestreye_debian}/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestreye)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT
    "kestreye maintainers <maintainers@users.noreply.c-seed-29cea634.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "describes what surrounds the keyboard focus, for an assistant")
# Lines of at most 79 characters: CPack does not wrap them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "kestreye scan reads the accessibility tree (AT-SPI2) of the application that"
  "has the keyboard focus and prints one JSON line holding a short text block:"
  "the focused control with its label, value and state, the text around the"
  "caret, the form fields near the focus in tab order, and the labels of nearby"
  "buttons and texts. A writing or dictation assistant, or an agent, runs it to"
  "learn what the user is looking at and typing into; kestreye-mcp offers the"
  "same scan as a tool to Model Context Protocol clients."
  ""
  "The text of a password field never appears in its output."
  ""
  "kestreye-record writes what one live scan read to a fixture file, and"
  "kestreye-replay answers from such a file as kestreye would: a wrong reply"
  "becomes a bug report that replays anywhere.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time (dlopen), so dpkg-shlibdeps does not see it: Xlib, only
# for the X11 focus hint and advice. libdbus is linked in from its archive
# (or found by dpkg-shlibdeps where the shared library is used).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libx11-6")
include(CPack)
