# The Windows form of this folder, run under Wine: no preload exists, so a variant of the libusb
# stand-in, put beside the installed xolcli.exe, brings up the scenario's boards itself
# (scenario_standin.cpp). It is the only bus here.
set(E2E_PREFIX ${CMAKE_CURRENT_BINARY_DIR}/prefix)
xol_standin_library(xol_e2e_libusb ${CMAKE_BINARY_DIR}/tests/standin/scenario)
target_sources(xol_e2e_libusb PRIVATE scenario_standin.cpp scenario_session.cpp scenario.cpp
  ${XOL_STANDIN_DIR}/standin_bed.cpp)
target_compile_definitions(xol_e2e_libusb PRIVATE STANDIN_BUS_HOOKS=1 XOL_SIM_BED_STANDIN=1
  BOOST_BIND_GLOBAL_PLACEHOLDERS)
target_link_libraries(xol_e2e_libusb PRIVATE xolsim Boost::headers)

# One installation for every test of this folder, made afresh by each test run, with the
# stand-in where the library looks for libusb: beside the program.
add_test(NAME e2e_install
  COMMAND bash -c "rm -rf \"$0\" && \"$1\" --install \"$2\" --prefix \"$0\" >/dev/null && cp \"$3\" \"$0/bin/\""
          ${E2E_PREFIX} ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} $<TARGET_FILE:xol_e2e_libusb>)
set_tests_properties(e2e_install PROPERTIES FIXTURES_SETUP e2e_prefix TIMEOUT 120)

set(E2E_ENV "XOL_E2E_PREFIX=${E2E_PREFIX}" "XOL_E2E_SAMPLES=${CMAKE_SOURCE_DIR}/tests/data")

function(xol_e2e_test name)
  xol_add_test(${name} SOURCES ${ARGN} scenario.cpp LIBS ${E2E_TEST_LIBS} ENV ${E2E_ENV})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/cli ${XOL_SIM_DIR}
    ${CMAKE_SOURCE_DIR}/xol/include)
  target_compile_definitions(${name} PRIVATE BOOST_BIND_GLOBAL_PLACEHOLDERS)
  target_link_libraries(${name} PRIVATE Boost::headers)
  add_dependencies(${name} xol_e2e_libusb xolcli vemoapi)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED e2e_prefix LABELS e2e)
endfunction()

xol_e2e_test(e2e_session session_test.cpp)
xol_e2e_test(e2e_windows_args windows_args_test.cpp)
xol_e2e_test(e2e_failures failures_test.cpp)
# The longest run of the Wine suite: the two halves of its table run side by side.
get_test_property(e2e_failures ENVIRONMENT failures_env)
set_tests_properties(e2e_failures PROPERTIES
  ENVIRONMENT "${failures_env};GTEST_TOTAL_SHARDS=2;GTEST_SHARD_INDEX=0")
add_test(NAME e2e_failures_half2 COMMAND e2e_failures
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/run/e2e_failures)
set_tests_properties(e2e_failures_half2 PROPERTIES TIMEOUT 600 FIXTURES_REQUIRED e2e_prefix
  LABELS e2e ENVIRONMENT "${failures_env};GTEST_TOTAL_SHARDS=2;GTEST_SHARD_INDEX=1")
