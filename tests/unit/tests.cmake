# Unit tests of the session driver's and error report's pure pieces, of the
# serial ports line, and of the bounded wait for a thread.
add_executable(torvane_unit_tests ${CMAKE_CURRENT_LIST_DIR}/session_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/serial_ports_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thread_wait_test.cpp)
if(NOT WIN32)
  # The Linux layer's listing, on a made-up sysfs tree.
  target_sources(torvane_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/serial_ports_layer_test.cpp)
endif()
target_link_libraries(torvane_unit_tests PRIVATE torvane_logic torvane_platform ${TORVANE_GTEST})
torvane_warnings(torvane_unit_tests)
gtest_discover_tests(torvane_unit_tests DISCOVERY_MODE PRE_TEST)
