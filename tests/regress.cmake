# Regression tests for what the sanitizers, the fuzzers of fuzz/ and the static
# analysers found: one file per reader, tests/test_regress_*.cpp. ctest -R regress.
file(GLOB kivo_regress_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_regress_*.cpp)
list(FILTER kivo_regress_tests EXCLUDE REGEX "test_regress_traffic")
if(TARGET kivo_ddns_core)
  foreach(source IN LISTS kivo_regress_tests)
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE kivo_ddns_core kivo_test_support GTest::gtest_main)
    gtest_discover_tests(${name} TEST_PREFIX "regress." DISCOVERY_TIMEOUT 60)
  endforeach()
endif()

# libkivotraffic's counting code built into a test program, so that the
# sanitizer build runs it under ASan too (the preloaded library gets UBSan only).
if(TARGET kivotraffic)
  find_package(Threads REQUIRED)
  get_target_property(kivo_traffic_sources kivotraffic SOURCES)
  list(TRANSFORM kivo_traffic_sources PREPEND ${PROJECT_SOURCE_DIR}/traffic/)
  add_executable(test_regress_traffic_counting
    ${CMAKE_CURRENT_SOURCE_DIR}/test_regress_traffic_counting.cpp ${kivo_traffic_sources})
  target_include_directories(test_regress_traffic_counting PRIVATE ${PROJECT_SOURCE_DIR}/traffic)
  # Fortified wrappers would replace the very names the library defines.
  target_compile_options(test_regress_traffic_counting PRIVATE -U_FORTIFY_SOURCE)
  target_link_libraries(test_regress_traffic_counting PRIVATE kivo_test_support GTest::gtest_main
                                                              Threads::Threads ${CMAKE_DL_LIBS})
  gtest_discover_tests(test_regress_traffic_counting TEST_PREFIX "regress." DISCOVERY_TIMEOUT 60)
endif()
