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
set(CPACK_PACKAGE_NAME ${TORVANE_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quellmark")
set(CPACK_PACKAGE_CONTACT "Quellmark <support@quellmark.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.quellmark.example")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console terminal for a device's serial port")

# Directories the install makes are 0755 whatever the umask, so that the
# packages do not depend on who built them.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The README a user of the installed Linux program reads (the repository's
# README is for users of the sources, docs/DEVELOPING.md for developers; the
# Windows zip has its own).
set(TORVANE_USER_README ${PROJECT_SOURCE_DIR}/packaging/README.installed.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${TORVANE_USER_README} ${PROJECT_SOURCE_DIR}/LICENSE)

# Notepad and friends want CR LF; a file already written so stays as it is.
function(torvane_install_crlf source name)
  file(READ ${source} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${PROJECT_BINARY_DIR}/${name} "${text}")
  install(FILES ${PROJECT_BINARY_DIR}/${name} DESTINATION .)
endfunction()

if(WIN32)
  # A zip a Windows user unpacks anywhere: the exe, its README and the
  # licence side by side (the program looks for `check` beside itself).
  # Its README speaks of COM ports and Windows' error numbers, and names
  # this build's usage-log host.
  install(TARGETS TorvaneTerminal RUNTIME DESTINATION .)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README.windows.md.in
                 ${PROJECT_BINARY_DIR}/README.windows.md @ONLY)
  torvane_install_crlf(${PROJECT_BINARY_DIR}/README.windows.md README.txt)
  torvane_install_crlf(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt)
else()
  find_program(TORVANE_GZIP gzip REQUIRED)
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TORVANE_PACKAGE_NAME})
  install(TARGETS TorvaneTerminal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The page is written by hand; only the version and the usage-log host
  # come from the build. Debian wants pages and changelogs compressed with
  # gzip -9n (no name, no time stamp in the header).
  configure_file(${PROJECT_SOURCE_DIR}/man/TorvaneTerminal.1.in
                 ${PROJECT_BINARY_DIR}/man/TorvaneTerminal.1 @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog
                 ${PROJECT_BINARY_DIR}/doc/changelog COPYONLY)
  foreach(file man/TorvaneTerminal.1 doc/changelog)
    execute_process(COMMAND ${TORVANE_GZIP} -9nc ${file}
                    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/${file}.gz
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  install(FILES ${PROJECT_BINARY_DIR}/man/TorvaneTerminal.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The licence in Debian's machine-readable form: the text of LICENSE after
  # its copyright line, each line indented by one space, blank lines as " .".
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(FIND "${license}" "Permission is hereby granted" start)
  string(SUBSTRING "${license}" ${start} -1 license)
  string(STRIP "${license}" license)
  string(REPLACE "\n\n" "\n.\n" license "${license}")
  string(REPLACE "\n" "\n " TORVANE_LICENSE_BODY " ${license}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in
                 ${PROJECT_BINARY_DIR}/doc/copyright @ONLY)
  install(FILES ${TORVANE_USER_README} DESTINATION ${docdir} RENAME README)
  install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
          DESTINATION ${docdir})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/TorvaneTerminal.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME TorvaneTerminal)
endif()

set(CPACK_STRIP_FILES ON)
# CPack takes every time stamp in the packages from SOURCE_DATE_EPOCH when it
# is set (tests/package sets it to the last commit's time), and gives the
# .deb's files to root; the tarball's and the zip's owners are the staged
# files' (tests/package runs cpack under fakeroot when not root).

# Packages go where tests/package asks (cpack -B), never into the sources.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${TORVANE_PACKAGE_NAME}-${PROJECT_VERSION}-win32)
  # Exactly the exe, README.txt and LICENSE.txt, no folder around them.
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
(and optionally captured to a file), every key is sent to the device,
and Ctrl+Q ends the session.

At every start it sends one usage report (an HTTP GET carrying the
machine code and the AppID) to
http://${USAGE_LOG_HOST}/ws/applicationlog.php. The host was set
when the package was built (CMake variable USAGE_LOG_HOST).")
endif()

include(CPack)
