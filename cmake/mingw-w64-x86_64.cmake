# The same cross build for 64-bit Windows. The program is built and shipped
# 32-bit; this build stands in for it in the tests on a machine that
# cannot run 32-bit programs (tests/windows/run), so that the Windows calls
# still run under Wine (wine64).
set(TORVANE_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TORVANE_WINE_LOADER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
