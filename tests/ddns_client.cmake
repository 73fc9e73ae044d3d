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

# The stand-ins of tools/kivo_standin.py in a namespace of the test's own.
if(TARGET libkivo)
  add_library(kivo_ddns_standin STATIC ${CMAKE_CURRENT_SOURCE_DIR}/support/ddns_standin.cpp)
  target_include_directories(kivo_ddns_standin PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
  target_compile_definitions(kivo_ddns_standin PRIVATE
    KIVO_STANDIN_TOOL="${PROJECT_SOURCE_DIR}/tools/kivo_standin.py")
  target_link_libraries(kivo_ddns_standin PUBLIC kivo_test_support libkivo)
endif()

if(TARGET kivo_ddns_core)
  add_executable(test_kivo_ddns_client ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddnspod.cpp
                                       ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_extern_ip.cpp)
  target_link_libraries(test_kivo_ddns_client PRIVATE kivo_ddns_core kivo_ddns_standin
                                                      GTest::gtest_main)
  gtest_discover_tests(test_kivo_ddns_client TEST_PREFIX "ddns." DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120)
endif()

# The real kivo_ddns, unchanged, against the stand-ins: ctest -R ddns.e2e
if(TARGET kivo_ddns AND TARGET kivo_ddns_standin)
  add_executable(test_kivo_ddns_e2e ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_e2e.cpp
                                    ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_hostile.cpp
                                    ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_records.cpp
                                    ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_multi.cpp)
  target_compile_definitions(test_kivo_ddns_e2e PRIVATE KIVO_DDNS_BINARY="$<TARGET_FILE:kivo_ddns>"
    KIVO_DDNS_UNIT="${PROJECT_SOURCE_DIR}/systemd/kivo_ddns.service")
  target_link_libraries(test_kivo_ddns_e2e PRIVATE kivo_ddns_standin GTest::gtest_main)
  add_dependencies(test_kivo_ddns_e2e kivo_ddns)
  gtest_discover_tests(test_kivo_ddns_e2e TEST_PREFIX "ddns." DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120)
endif()
