# Targets of the e2e tests: the built program, run on pseudo-terminals.
add_executable(torvane_e2e_tests
  ${CMAKE_CURRENT_LIST_DIR}/pty_harness.cpp
  ${CMAKE_CURRENT_LIST_DIR}/startup_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_test.cpp)
target_compile_definitions(torvane_e2e_tests PRIVATE
  TORVANE_PROGRAM_PATH="$<TARGET_FILE:TorvaneTerminal>"
  TORVANE_EXPECTED_VERSION="${PROJECT_VERSION}"
  TORVANE_E2E_LEAK_SUPPRESSIONS="${CMAKE_CURRENT_LIST_DIR}/leak_suppressions.txt")
target_link_libraries(torvane_e2e_tests PRIVATE ${TORVANE_GTEST} Threads::Threads)
torvane_warnings(torvane_e2e_tests)
# The tests run the program: it must be built first.
add_dependencies(torvane_e2e_tests TorvaneTerminal)
if(TARGET TorvaneSim)
  # The simulated drive, with the real terminal on it.
  target_sources(torvane_e2e_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/sim_test.cpp)
  target_compile_definitions(torvane_e2e_tests PRIVATE
    TORVANE_SIM_PATH="$<TARGET_FILE:TorvaneSim>")
  add_dependencies(torvane_e2e_tests TorvaneSim)
endif()
gtest_discover_tests(torvane_e2e_tests
  DISCOVERY_MODE PRE_TEST
  PROPERTIES LABELS e2e TIMEOUT 120)
