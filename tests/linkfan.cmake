# kivo_linkfan: phase tests with a recording runner, and end-to-end runs of the
# real program. Both make their own network and mount namespaces (run as root).
if(NOT TARGET kivo_linkfan)
  return()
endif()

add_library(kivo_linkfan_scene STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/linkfan_support/linkfan_scene.cpp)
target_include_directories(kivo_linkfan_scene PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/linkfan_support)
target_link_libraries(kivo_linkfan_scene PUBLIC kivo_test_support)
target_compile_definitions(kivo_linkfan_scene PRIVATE
  LINKFAN_SHIM="${CMAKE_CURRENT_SOURCE_DIR}/linkfan_shims/shim.sh"
  LINKFAN_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")

kivo_add_gtest(test_linkfan_phases PREFIX "linkfan."
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_linkfan_phases.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/linkfan_support/recording_run.cpp
  LIBRARIES kivo_linkfan_core kivo_linkfan_shell kivo_linkfan_scene)

kivo_add_gtest(test_linkfan_shell PREFIX "linkfan."
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_linkfan_shell.cpp
  LIBRARIES kivo_linkfan_shell kivo_linkfan_scene)

kivo_add_gtest(test_linkfan_e2e PREFIX "linkfan." TIMEOUT 90
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_linkfan_e2e.cpp
  LIBRARIES kivo_linkfan_scene
  DEFINITIONS LINKFAN_BINARY="$<TARGET_FILE:kivo_linkfan>"
  DEPENDS kivo_linkfan)

# The carriers' side of tracked links, and the tests of -t against it.
add_executable(linkfan_carrier ${CMAKE_CURRENT_SOURCE_DIR}/linkfan_support/linkfan_carrier.cpp)
target_link_libraries(linkfan_carrier PRIVATE kivo_linkfan_scene)

kivo_add_gtest(test_linkfan_track PREFIX "linkfan." TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_linkfan_track.cpp
  LIBRARIES kivo_linkfan_scene
  DEFINITIONS LINKFAN_BINARY="$<TARGET_FILE:kivo_linkfan>"
              LINKFAN_CARRIER="$<TARGET_FILE:linkfan_carrier>"
              LINKFAN_UNIT="${PROJECT_SOURCE_DIR}/systemd/kivo_linkfan.service"
              LINKFAN_MULTIPATH_DROP_IN="${PROJECT_SOURCE_DIR}/systemd/kivo_linkfan.service.d/multipath.conf"
  DEPENDS kivo_linkfan linkfan_carrier)
