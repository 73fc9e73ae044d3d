# libkivotraffic: tested preloaded into real processes, each in a network
# namespace of its own.
if(NOT TARGET kivotraffic)
  return()
endif()

find_package(Threads REQUIRED)
set(traffic_hosts ${CMAKE_CURRENT_SOURCE_DIR}/traffic_hosts)

# Hosts the tests preload the library into; they find its globals at run time.
add_executable(traffic_host ${traffic_hosts}/traffic_host.cpp)
target_link_libraries(traffic_host PRIVATE Threads::Threads ${CMAKE_DL_LIBS})

# The cycle host stands in for sleep and connect; the library must reach its
# definitions, so they are exported from the executable.
add_executable(traffic_cycle_host ${traffic_hosts}/traffic_cycle_host.cpp)
target_link_libraries(traffic_cycle_host PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
target_link_options(traffic_cycle_host PRIVATE
  -Wl,--export-dynamic-symbol=sleep -Wl,--export-dynamic-symbol=connect)

# A host whose executable exports its own cp and total_send_bytes.
add_executable(traffic_shadow_host ${traffic_hosts}/traffic_shadow_host.cpp)
set_target_properties(traffic_shadow_host PROPERTIES ENABLE_EXPORTS ON)
target_link_libraries(traffic_shadow_host PRIVATE ${CMAKE_DL_LIBS})

kivo_add_gtest(test_traffic PREFIX "traffic."
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_traffic_library.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_traffic_count.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_traffic_fork.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_traffic_report.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_traffic_exit.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_traffic_foreign.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support/traffic_agent.cpp
  INCLUDES ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support
  DEFINITIONS KIVO_TRAFFIC_LIBRARY="$<TARGET_SONAME_FILE:kivotraffic>"
              KIVO_TRAFFIC_HOST="$<TARGET_FILE:traffic_host>"
              KIVO_TRAFFIC_CYCLE_HOST="$<TARGET_FILE:traffic_cycle_host>"
              KIVO_TRAFFIC_SHADOW_HOST="$<TARGET_FILE:traffic_shadow_host>"
              KIVO_AGENT_SCRIPT="${PROJECT_SOURCE_DIR}/tools/kivo_agent.py"
  LIBRARIES kivo_test_support
  DEPENDS kivotraffic traffic_host traffic_cycle_host traffic_shadow_host)
