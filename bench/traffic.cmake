# What libkivotraffic adds to read and write, against libc alone, in one run.
if(NOT TARGET kivotraffic)
  return()
endif()
add_executable(bench_traffic ${CMAKE_CURRENT_SOURCE_DIR}/bench_traffic.cpp)
target_compile_definitions(bench_traffic PRIVATE
  KIVO_TRAFFIC_LIBRARY="$<TARGET_SONAME_FILE:kivotraffic>")
target_link_libraries(bench_traffic PRIVATE benchmark::benchmark ${CMAKE_DL_LIBS})
add_dependencies(bench_traffic kivotraffic)

# System calls the library adds to each interposed call (needs strace).
add_executable(bench_traffic_syscalls ${CMAKE_CURRENT_SOURCE_DIR}/bench_traffic_syscalls.cpp)
target_compile_definitions(bench_traffic_syscalls PRIVATE
  KIVO_TRAFFIC_LIBRARY="$<TARGET_SONAME_FILE:kivotraffic>")
add_dependencies(bench_traffic_syscalls kivotraffic)
if(KIVO_TESTS)
  add_test(NAME traffic.SystemCallsAddedPerCall COMMAND bench_traffic_syscalls --calls=200)
endif()
