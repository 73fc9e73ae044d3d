# kivo_trafficd: its start-up checks, and end-to-end runs against real servers,
# each in a network namespace of its own. They need root and a kernel with the
# socket tracepoints (6.3 or later); elsewhere they report themselves skipped.
if(NOT TARGET kivo_trafficd)
  return()
endif()

kivo_add_gtest(test_trafficd PREFIX "trafficd." TIMEOUT 90
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_trafficd_kernel.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_trafficd_e2e.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_trafficd_metrics.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_trafficd_links.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/trafficd_support/trafficd_scene.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support/traffic_agent.cpp
  INCLUDES ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support ${CMAKE_CURRENT_SOURCE_DIR}/trafficd_support
  LIBRARIES kivo_trafficd_core kivo_test_support
  DEFINITIONS KIVO_TRAFFICD="$<TARGET_FILE:kivo_trafficd>"
              KIVO_TRAFFIC_LIBRARY="$<TARGET_SONAME_FILE:kivotraffic>"
              KIVO_AGENT_SCRIPT="${PROJECT_SOURCE_DIR}/tools/kivo_agent.py"
              KIVO_TRAFFICD_UNIT="${PROJECT_SOURCE_DIR}/systemd/kivo_trafficd.service"
  DEPENDS kivo_trafficd kivotraffic)
