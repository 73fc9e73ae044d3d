# Cost of one record of the buffered log of kivo_ddns, with the file part on and off.
if(NOT TARGET libkivo)
  return()
endif()
add_executable(bench_libkivo_log ${CMAKE_CURRENT_SOURCE_DIR}/bench_libkivo_log.cpp)
target_link_libraries(bench_libkivo_log PRIVATE libkivo benchmark::benchmark)
