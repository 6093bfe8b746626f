# Windows-only targets: unit tests against the real Windows headers and calls,
# and a second program that reports usage to a loopback listener for the smoke
# tests (tests/windows/smoke.py, run by tests/windows/run).

add_executable(torvane_windows_tests ${CMAKE_CURRENT_LIST_DIR}/windows_api_test.cpp)
target_link_libraries(torvane_windows_tests PRIVATE torvane_logic torvane_platform ${TORVANE_GTEST})
torvane_warnings(torvane_windows_tests)
# Starting a test program under Wine takes a moment; discovery is given time.
gtest_discover_tests(torvane_windows_tests DISCOVERY_TIMEOUT 60)

# The usage host is fixed at build time, so the smoke tests' listener needs a
# program of its own; tests/windows/run picks a free port for it.
set(TORVANE_LOOPBACK_USAGE_HOST "127.0.0.1:47801" CACHE STRING
    "Host the loopback smoke-test program reports usage to")
torvane_program(TorvaneTerminalLoopback "${TORVANE_LOOPBACK_USAGE_HOST}")

# Puts key records into a running program's console (smoke.py's session test).
add_executable(inject_keys ${CMAKE_CURRENT_LIST_DIR}/inject_keys.cpp)
torvane_warnings(inject_keys)
