# kivo_linkfan: phase tests with a recording runner, and end-to-end runs of the
# real program. Both make their own network and mount namespaces (run as root).
if(NOT TARGET kivo_linkfan)
  return()
endif()

add_library(kivo_linkfan_scene STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/linkfan_support/linkfan_scene.cpp)
target_include_directories(kivo_linkfan_scene PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/linkfan_support)
target_link_libraries(kivo_linkfan_scene PUBLIC kivo_test_support)

add_executable(test_linkfan_phases
  ${CMAKE_CURRENT_SOURCE_DIR}/test_linkfan_phases.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/linkfan_support/recording_run.cpp)
target_link_libraries(test_linkfan_phases PRIVATE kivo_linkfan_core kivo_linkfan_shell
  kivo_linkfan_scene
  GTest::gtest GTest::gtest_main)
target_compile_definitions(test_linkfan_phases PRIVATE
  LINKFAN_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")
gtest_discover_tests(test_linkfan_phases TEST_PREFIX "linkfan." DISCOVERY_TIMEOUT 60)

add_executable(test_linkfan_shell ${CMAKE_CURRENT_SOURCE_DIR}/test_linkfan_shell.cpp)
target_link_libraries(test_linkfan_shell PRIVATE kivo_linkfan_shell kivo_linkfan_scene
  GTest::gtest GTest::gtest_main)
target_compile_definitions(test_linkfan_shell PRIVATE
  LINKFAN_SHIM="${CMAKE_CURRENT_SOURCE_DIR}/linkfan_shims/shim.sh")
gtest_discover_tests(test_linkfan_shell TEST_PREFIX "linkfan." DISCOVERY_TIMEOUT 60)

add_executable(test_linkfan_e2e ${CMAKE_CURRENT_SOURCE_DIR}/test_linkfan_e2e.cpp)
target_link_libraries(test_linkfan_e2e PRIVATE kivo_linkfan_scene GTest::gtest GTest::gtest_main)
target_compile_definitions(test_linkfan_e2e PRIVATE
  LINKFAN_BINARY="$<TARGET_FILE:kivo_linkfan>"
  LINKFAN_SHIM="${CMAKE_CURRENT_SOURCE_DIR}/linkfan_shims/shim.sh")
add_dependencies(test_linkfan_e2e kivo_linkfan)
gtest_discover_tests(test_linkfan_e2e TEST_PREFIX "linkfan." DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 90)

# The carriers' side of tracked links, and the tests of -t against it.
add_executable(linkfan_carrier ${CMAKE_CURRENT_SOURCE_DIR}/linkfan_support/linkfan_carrier.cpp)
target_link_libraries(linkfan_carrier PRIVATE kivo_linkfan_scene)

add_executable(test_linkfan_track ${CMAKE_CURRENT_SOURCE_DIR}/test_linkfan_track.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support/traffic_process.cpp)
target_include_directories(test_linkfan_track PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/traffic_support)
target_link_libraries(test_linkfan_track PRIVATE kivo_linkfan_scene GTest::gtest GTest::gtest_main)
target_compile_definitions(test_linkfan_track PRIVATE
  LINKFAN_BINARY="$<TARGET_FILE:kivo_linkfan>"
  LINKFAN_CARRIER="$<TARGET_FILE:linkfan_carrier>"
  KIVO_TRAFFIC_LIBRARY="" KIVO_AGENT_SCRIPT="")
add_dependencies(test_linkfan_track kivo_linkfan linkfan_carrier)
gtest_discover_tests(test_linkfan_track TEST_PREFIX "linkfan." DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120)
