# Targets of the fake tests: the program's logic linked against a scriptable
# fake of the platform instead of the real layer.
add_executable(torvane_fake_tests
  ${CMAKE_CURRENT_LIST_DIR}/fake_platform.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/error_report_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_setup_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/receive_loop_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/keyboard_thread_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console_events_test.cpp)
target_link_libraries(torvane_fake_tests PRIVATE torvane_logic ${TORVANE_GTEST} Threads::Threads)
torvane_warnings(torvane_fake_tests)
gtest_discover_tests(torvane_fake_tests DISCOVERY_MODE PRE_TEST)
