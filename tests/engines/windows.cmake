# Windows-only engine tests; they run under Wine with the simulated engines.
add_subdirectory("${CMAKE_CURRENT_SOURCE_DIR}/../simulated" "${CMAKE_CURRENT_BINARY_DIR}/simulated")
morvex_add_test(engine_windows_tests
  SOURCES wireguard_teardown_test.cpp openvpn_test.cpp engine_programs_test.cpp
  LIBS morvex_engines)
add_dependencies(engine_windows_tests simulated_wireguard simulated_wg simulated_tapctl
  simulated_openvpn)
