# Regression tests for what the sanitizers, the fuzzers of fuzz/ and the static
# analysers found: one file per reader, tests/test_regress_*.cpp. ctest -R regress.
file(GLOB kivo_regress_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_regress_*.cpp)
list(FILTER kivo_regress_tests EXCLUDE REGEX "test_regress_traffic")
if(TARGET kivo_ddns_core)
  foreach(source IN LISTS kivo_regress_tests)
    get_filename_component(name ${source} NAME_WE)
    kivo_add_gtest(${name} PREFIX "regress." SOURCES ${source}
      LIBRARIES kivo_ddns_core kivo_test_support)
  endforeach()
endif()

# libkivotraffic's counting code built into a test program, so that the
# sanitizer build runs it under ASan too (the preloaded library gets UBSan only).
if(TARGET kivotraffic)
  find_package(Threads REQUIRED)
  get_target_property(kivo_traffic_sources kivotraffic SOURCES)
  list(TRANSFORM kivo_traffic_sources PREPEND ${PROJECT_SOURCE_DIR}/traffic/)
  # Fortified wrappers would replace the very names the library defines.
  kivo_add_gtest(test_regress_traffic_counting PREFIX "regress."
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_regress_traffic_counting.cpp ${kivo_traffic_sources}
    INCLUDES ${PROJECT_SOURCE_DIR}/traffic
    OPTIONS -U_FORTIFY_SOURCE
    LIBRARIES kivo_test_support Threads::Threads ${CMAKE_DL_LIBS})
endif()
