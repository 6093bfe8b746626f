# Targets of the stress and fault tests.
# The program they run reports its usage to a loopback port where nothing
# listens: every start is refused at once, so hundreds of starts stay quick
# and nothing leaves the machine.
torvane_program(torvane_stress_program "127.0.0.1:1")

add_executable(torvane_stress_tests
  ${CMAKE_CURRENT_LIST_DIR}/../e2e/pty_harness.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stress_test.cpp)
target_compile_definitions(torvane_stress_tests PRIVATE
  TORVANE_PROGRAM_PATH="$<TARGET_FILE:torvane_stress_program>"
  TORVANE_EXPECTED_VERSION="${PROJECT_VERSION}"
  TORVANE_E2E_LEAK_SUPPRESSIONS="${CMAKE_CURRENT_LIST_DIR}/../e2e/leak_suppressions.txt")
target_link_libraries(torvane_stress_tests PRIVATE ${TORVANE_GTEST} Threads::Threads)
torvane_warnings(torvane_stress_tests)
add_dependencies(torvane_stress_tests torvane_stress_program)
gtest_discover_tests(torvane_stress_tests
  DISCOVERY_MODE PRE_TEST
  PROPERTIES LABELS stress TIMEOUT 300)
