# kivo_ddns: JSON helpers, DNSPod record client, address discovery, and the real
# program end to end against the stand-ins of tools/kivo_standin.py.

if(TARGET libkivo)
  add_executable(test_libkivo_json ${CMAKE_CURRENT_SOURCE_DIR}/test_libkivo_json.cpp)
  target_link_libraries(test_libkivo_json PRIVATE libkivo kivo_test_support GTest::gtest_main)
  gtest_discover_tests(test_libkivo_json TEST_PREFIX "libkivo." DISCOVERY_TIMEOUT 60)
endif()

if(TARGET kivo_ddns_core)
  # Answer readers: no network.
  add_executable(test_kivo_ddns_answers ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddnspod_answer.cpp
                                        ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_extern_ip_answer.cpp)
  target_link_libraries(test_kivo_ddns_answers PRIVATE kivo_ddns_core GTest::gtest_main)
  gtest_discover_tests(test_kivo_ddns_answers TEST_PREFIX "ddns." DISCOVERY_TIMEOUT 60)
endif()
