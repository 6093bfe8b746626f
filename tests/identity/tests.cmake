# Targets of the identity tests.
set(_identity ${CMAKE_CURRENT_LIST_DIR})

# Pure pieces: machine code parsing and formatting on injected transport lists,
# the AppID, the request URL. Built for every platform, Windows included.
add_executable(torvane_identity_tests
  ${_identity}/machine_code_test.cpp
  ${_identity}/app_id_test.cpp
  ${_identity}/usage_report_test.cpp
  ${PROJECT_SOURCE_DIR}/src/identity/usage_log_host.cpp)
target_compile_definitions(torvane_identity_tests PRIVATE USAGE_LOG_HOST="${USAGE_LOG_HOST}")
target_link_libraries(torvane_identity_tests PRIVATE torvane_logic torvane_platform ${TORVANE_GTEST})
torvane_warnings(torvane_identity_tests)
gtest_discover_tests(torvane_identity_tests DISCOVERY_MODE PRE_TEST)

if(NOT WIN32)
  # The layer's transport list and HTTP request, against the kernel's own view
  # of the interfaces and in-process listeners on free ports.
  add_executable(torvane_identity_net_tests
    ${_identity}/net_layer_test.cpp
    ${_identity}/net_support.cpp
    ${PROJECT_SOURCE_DIR}/src/identity/usage_log_host.cpp)
  target_compile_definitions(torvane_identity_net_tests PRIVATE USAGE_LOG_HOST="${USAGE_LOG_HOST}")
  target_link_libraries(torvane_identity_net_tests PRIVATE torvane_logic torvane_platform ${TORVANE_GTEST})
  torvane_warnings(torvane_identity_net_tests)
  gtest_discover_tests(torvane_identity_net_tests DISCOVERY_MODE PRE_TEST)

  # The built program, reporting to a loopback port of the tests' own. The
  # port is fixed at build time, so these tests never run at the same time;
  # it is one that was free when the build tree was first configured (kept
  # in its cache), so two build trees on one machine do not share it.
  if(NOT DEFINED CACHE{TORVANE_LOOPBACK_PORT})
    find_program(TORVANE_PYTHON3 python3)
    set(_port "")
    if(TORVANE_PYTHON3)
      execute_process(
        COMMAND ${TORVANE_PYTHON3} -c
          "import socket; s = socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])"
        OUTPUT_VARIABLE _port OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(NOT _port MATCHES "^[0-9]+$")
      # No way to ask the system: a port below the ephemeral range, taken
      # from the build tree's path.
      string(MD5 _tree_hash "${CMAKE_BINARY_DIR}")
      string(SUBSTRING "${_tree_hash}" 0 3 _tree_hash)
      math(EXPR _port "20000 + 0x${_tree_hash}" OUTPUT_FORMAT DECIMAL)
    endif()
    set(TORVANE_LOOPBACK_PORT ${_port} CACHE INTERNAL "Loopback port of the identity e2e tests")
  endif()
  torvane_program(TorvaneTerminal_loopback "127.0.0.1:${TORVANE_LOOPBACK_PORT}")
  add_executable(torvane_identity_e2e_tests
    ${_identity}/identity_e2e_test.cpp
    ${_identity}/net_support.cpp)
  target_compile_definitions(torvane_identity_e2e_tests PRIVATE
    TORVANE_LOOPBACK_PORT=${TORVANE_LOOPBACK_PORT}
    TORVANE_LOOPBACK_EXE="$<TARGET_FILE:TorvaneTerminal_loopback>")
  target_link_libraries(torvane_identity_e2e_tests PRIVATE ${TORVANE_GTEST} Threads::Threads)
  torvane_warnings(torvane_identity_e2e_tests)
  add_dependencies(torvane_identity_e2e_tests TorvaneTerminal_loopback)
  gtest_discover_tests(torvane_identity_e2e_tests DISCOVERY_MODE PRE_TEST
    PROPERTIES RESOURCE_LOCK torvane_loopback_port)
endif()
