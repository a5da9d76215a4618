# Windows-only engine tests; they run under Wine.
morvex_add_test(engine_windows_tests
  SOURCES wireguard_teardown_test.cpp
  LIBS morvex_engines)
