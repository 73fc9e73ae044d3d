# libkivotraffic preloaded into the distribution's own servers (nginx-light,
# lighttpd with mod_webdav) and into curl, each case in a network namespace of
# its own. The server tests wait for one real 20-second report cycle each.
if(NOT TARGET kivotraffic)
  return()
endif()

add_executable(test_traffic_servers
  ${CMAKE_CURRENT_SOURCE_DIR}/test_traffic_servers.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support/traffic_process.cpp)
target_include_directories(test_traffic_servers PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support)
target_compile_definitions(test_traffic_servers PRIVATE
  KIVO_TRAFFIC_LIBRARY="$<TARGET_SONAME_FILE:kivotraffic>"
  KIVO_AGENT_SCRIPT="${PROJECT_SOURCE_DIR}/tools/kivo_agent.py")
target_link_libraries(test_traffic_servers PRIVATE kivo_test_support GTest::gtest GTest::gtest_main)
add_dependencies(test_traffic_servers kivotraffic)
gtest_discover_tests(test_traffic_servers TEST_PREFIX "traffic." DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 80)
