# kivo_trafficd: its start-up checks, and end-to-end runs against real servers,
# each in a network namespace of its own. They need root and a kernel with the
# socket tracepoints (6.3 or later); elsewhere they report themselves skipped.
if(NOT TARGET kivo_trafficd)
  return()
endif()

add_executable(test_trafficd
  ${CMAKE_CURRENT_SOURCE_DIR}/test_trafficd_kernel.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_trafficd_e2e.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/trafficd_support/trafficd_scene.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support/traffic_agent.cpp)
target_include_directories(test_trafficd PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support ${CMAKE_CURRENT_SOURCE_DIR}/trafficd_support)
target_compile_definitions(test_trafficd PRIVATE
  KIVO_TRAFFICD="$<TARGET_FILE:kivo_trafficd>"
  KIVO_TRAFFIC_LIBRARY="$<TARGET_SONAME_FILE:kivotraffic>"
  KIVO_AGENT_SCRIPT="${PROJECT_SOURCE_DIR}/tools/kivo_agent.py")
target_link_libraries(test_trafficd PRIVATE kivo_trafficd_core kivo_test_support
  GTest::gtest GTest::gtest_main)
add_dependencies(test_trafficd kivo_trafficd kivotraffic)
gtest_discover_tests(test_trafficd TEST_PREFIX "trafficd." DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 90)
