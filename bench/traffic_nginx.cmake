# libkivotraffic in nginx-light under wrk load, bare and preloaded (root only:
# it runs in a network namespace of its own).
if(NOT TARGET kivotraffic)
  return()
endif()
add_executable(bench_traffic_nginx ${CMAKE_CURRENT_SOURCE_DIR}/bench_traffic_nginx.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/child_process.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/sandbox.cpp)
target_include_directories(bench_traffic_nginx PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_compile_definitions(bench_traffic_nginx PRIVATE
  KIVO_TRAFFIC_LIBRARY="$<TARGET_SONAME_FILE:kivotraffic>")
add_dependencies(bench_traffic_nginx kivotraffic)
