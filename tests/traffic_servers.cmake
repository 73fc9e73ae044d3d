# libkivotraffic preloaded into the distribution's own servers (nginx-light,
# lighttpd with mod_webdav) and into curl, each case in a network namespace of
# its own. The server tests wait for one real 20-second report cycle each.
if(NOT TARGET kivotraffic)
  return()
endif()

kivo_add_gtest(test_traffic_servers PREFIX "traffic." TIMEOUT 80
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_traffic_servers.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support/traffic_agent.cpp
  INCLUDES ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support
  DEFINITIONS KIVO_TRAFFIC_LIBRARY="$<TARGET_SONAME_FILE:kivotraffic>"
              KIVO_AGENT_SCRIPT="${PROJECT_SOURCE_DIR}/tools/kivo_agent.py"
  LIBRARIES kivo_test_support
  DEPENDS kivotraffic)
