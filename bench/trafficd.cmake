# What kivo_trafficd costs a counted process and itself (root only).
if(NOT TARGET kivo_trafficd)
  return()
endif()
find_package(Threads REQUIRED)
add_executable(bench_trafficd ${CMAKE_CURRENT_SOURCE_DIR}/bench_trafficd.cpp)
target_compile_definitions(bench_trafficd PRIVATE KIVO_TRAFFICD="$<TARGET_FILE:kivo_trafficd>")
target_link_libraries(bench_trafficd PRIVATE benchmark::benchmark Threads::Threads)
add_dependencies(bench_trafficd kivo_trafficd)
