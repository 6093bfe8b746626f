# What `cmake --install` puts where, and the packages CPack makes from it:
# a .deb and a .tar.gz on Linux, a .zip from the Windows (MinGW) build.
# tests/package builds them all.
#
# The version is project(VERSION) and nothing else: the banner (version.h),
# the manual page and every package name take it from there.

include(GNUInstallDirs)

# GoogleTest's own install rules (the cross build compiles it from source)
# stay out of the install tree and the packages.
set(INSTALL_GTEST OFF CACHE BOOL "Install GoogleTest with the program" FORCE)

set(TORVANE_PACKAGE_NAME torvane-terminal)

if(WIN32)
  # A zip a Windows user unpacks anywhere: the exe and its README side by
  # side (the program looks for `check` beside itself), nothing else.
  install(TARGETS TorvaneTerminal RUNTIME DESTINATION .)
  # Notepad and friends want CR LF; a README written with them stays as it is.
  file(READ ${PROJECT_SOURCE_DIR}/README.md torvane_readme)
  string(REPLACE "\r\n" "\n" torvane_readme "${torvane_readme}")
  string(REPLACE "\n" "\r\n" torvane_readme "${torvane_readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt "${torvane_readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
else()
  install(TARGETS TorvaneTerminal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The page is written by hand; only the version and the usage-log host
  # come from the build.
  configure_file(${PROJECT_SOURCE_DIR}/man/TorvaneTerminal.1.in
                 ${PROJECT_BINARY_DIR}/man/TorvaneTerminal.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/TorvaneTerminal.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TORVANE_PACKAGE_NAME}
          RENAME README)
endif()

set(CPACK_PACKAGE_NAME ${TORVANE_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quellmark")
set(CPACK_PACKAGE_CONTACT "Quellmark <support@quellmark.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.quellmark.example")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console terminal for a device's serial port")
set(CPACK_STRIP_FILES ON)
# Packages go where tests/package asks (cpack -B), never into the sources.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${TORVANE_PACKAGE_NAME}-${PROJECT_VERSION}-win32)
  # Exactly the exe and README.txt, no folder around them.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR "DEB;TGZ")
  set(CPACK_PACKAGE_FILE_NAME
      ${TORVANE_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
  string(TOLOWER "${CPACK_PACKAGE_FILE_NAME}" CPACK_PACKAGE_FILE_NAME)
  # torvane-terminal_VERSION_ARCH.deb, the name Debian's tools expect.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Whatever the program links against dynamically (the C library, once the
  # C++ runtime is linked in) becomes a dependency, so it installs on a plain
  # Debian system.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The first line of the package's description is the summary above.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"TorvaneTerminal connects the console to a serial port, such as the
diagnostic port of a disk drive: every byte the device sends is shown
(and optionally captured to a file), every key is sent as one byte, and
Ctrl+Q ends the session.

At every start it sends one usage report (an HTTP GET carrying the
machine code and the AppID) to
http://${USAGE_LOG_HOST}/ws/applicationlog.php. The host was set
when the package was built (CMake variable USAGE_LOG_HOST).")
endif()

include(CPack)
