# Tests of the kivo_ddns spine: the option dispatcher and the buffered log of
# libkivo, the option record, and the program's entry and update cycle.
if(NOT TARGET kivo_ddns)
  return()
endif()

add_executable(test_libkivo_option ${CMAKE_CURRENT_SOURCE_DIR}/test_libkivo_option.cpp)
target_link_libraries(test_libkivo_option PRIVATE libkivo GTest::gtest_main)
gtest_discover_tests(test_libkivo_option TEST_PREFIX "libkivo." DISCOVERY_TIMEOUT 60)

add_executable(test_libkivo_log ${CMAKE_CURRENT_SOURCE_DIR}/test_libkivo_log.cpp)
target_link_libraries(test_libkivo_log PRIVATE libkivo kivo_test_support GTest::gtest_main)
gtest_discover_tests(test_libkivo_log TEST_PREFIX "libkivo." DISCOVERY_TIMEOUT 60)

# The tests that run the built program find it, its help text's golden copy and
# the source of its log call through these definitions.
set(kivo_ddns_spine_defs
  KIVO_DDNS_BIN="$<TARGET_FILE:kivo_ddns>"
  KIVO_DDNS_HELP_GOLDEN="${CMAKE_CURRENT_SOURCE_DIR}/golden/kivo_ddns_help.txt"
  KIVO_DDNS_MAIN_SOURCE="${PROJECT_SOURCE_DIR}/ddns/main.cpp")

add_executable(test_kivo_option ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_option.cpp)
target_link_libraries(test_kivo_option PRIVATE kivo_ddns_core GTest::gtest_main)
target_compile_definitions(test_kivo_option PRIVATE ${kivo_ddns_spine_defs})
add_dependencies(test_kivo_option kivo_ddns)
gtest_discover_tests(test_kivo_option TEST_PREFIX "ddns." DISCOVERY_TIMEOUT 60)

add_executable(test_kivo_ddns_cli ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_cli.cpp)
target_link_libraries(test_kivo_ddns_cli PRIVATE kivo_test_support GTest::gtest_main)
target_compile_definitions(test_kivo_ddns_cli PRIVATE ${kivo_ddns_spine_defs})
add_dependencies(test_kivo_ddns_cli kivo_ddns)
gtest_discover_tests(test_kivo_ddns_cli TEST_PREFIX "ddns." DISCOVERY_TIMEOUT 60)
