# Cross build of the 32-bit Windows console program with MinGW-w64 (i686).
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
#         -DCMAKE_BUILD_TYPE=Release
#
# The compiler prefix can be changed with -DTORVANE_MINGW_PREFIX=... for a
# toolchain installed under another name.
set(CMAKE_SYSTEM_NAME Windows)
# mingw-w64-x86_64.cmake sets these first for its 64-bit build.
if(NOT DEFINED TORVANE_MINGW_TARGET)
  set(TORVANE_MINGW_TARGET i686-w64-mingw32)
  set(CMAKE_SYSTEM_PROCESSOR x86)
  set(TORVANE_WINE_LOADER wine)
endif()

set(TORVANE_MINGW_PREFIX "${TORVANE_MINGW_TARGET}" CACHE STRING "Prefix of the MinGW-w64 tools")

# Debian ships each compiler with two thread models; the POSIX one provides
# std::mutex and std::condition_variable, which GoogleTest needs. The program
# itself uses none of it, and the runtime is linked in statically either way.
find_program(TORVANE_MINGW_CC NAMES ${TORVANE_MINGW_PREFIX}-gcc-posix ${TORVANE_MINGW_PREFIX}-gcc
             REQUIRED)
find_program(TORVANE_MINGW_CXX NAMES ${TORVANE_MINGW_PREFIX}-g++-posix ${TORVANE_MINGW_PREFIX}-g++
             REQUIRED)
set(CMAKE_C_COMPILER ${TORVANE_MINGW_CC})
set(CMAKE_CXX_COMPILER ${TORVANE_MINGW_CXX})
set(CMAKE_RC_COMPILER ${TORVANE_MINGW_PREFIX}-windres)

# Headers and libraries come from the cross environment only; programs that
# run during the build come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TORVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests built for Windows run under Wine when it is there.
find_program(TORVANE_WINE ${TORVANE_WINE_LOADER} PATHS /usr/lib/wine)
if(TORVANE_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVANE_WINE})
endif()
