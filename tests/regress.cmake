# Regression tests for what the sanitizers, the fuzzers of fuzz/ and the static
# analysers found: one file per reader, tests/test_regress_*.cpp. ctest -R regress.
if(NOT TARGET kivo_ddns_core)
  return()
endif()

file(GLOB kivo_regress_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_regress_*.cpp)
foreach(source IN LISTS kivo_regress_tests)
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE kivo_ddns_core GTest::gtest_main)
  gtest_discover_tests(${name} TEST_PREFIX "regress." DISCOVERY_TIMEOUT 60)
endforeach()
