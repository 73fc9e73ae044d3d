# CPU cost of reading one DNSPod list answer and one JSON echo answer per pass.
if(NOT TARGET kivo_ddns_core)
  return()
endif()
add_executable(bench_kivo_ddns_answers ${CMAKE_CURRENT_SOURCE_DIR}/bench_kivo_ddns_answers.cpp)
target_link_libraries(bench_kivo_ddns_answers PRIVATE kivo_ddns_core benchmark::benchmark)
