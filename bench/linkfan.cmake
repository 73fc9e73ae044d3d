# kivo_linkfan with 128 links in a namespace: first and steady cycle work
# without the fixed pauses, and the processes they start. Run as root.
if(NOT TARGET kivo_linkfan_core)
  return()
endif()
add_executable(bench_linkfan
  ${CMAKE_CURRENT_SOURCE_DIR}/bench_linkfan.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/bench_linkfan_run.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/sandbox.cpp)
target_include_directories(bench_linkfan PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_linkfan PRIVATE kivo_linkfan_core kivo_linkfan_shell
  benchmark::benchmark)
