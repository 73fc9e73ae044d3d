# How soon kivo_ddns follows a change of its uplink's address, against the
# stand-ins behind a veth link (the tests' world). Run as root.
if(NOT TARGET kivo_ddns OR NOT TARGET kivo_ddns_standin)
  return()
endif()
add_executable(bench_ddns_redial ${CMAKE_CURRENT_SOURCE_DIR}/bench_ddns_redial.cpp)
target_link_libraries(bench_ddns_redial PRIVATE kivo_ddns_standin)
target_compile_definitions(bench_ddns_redial PRIVATE KIVO_DDNS_BINARY="$<TARGET_FILE:kivo_ddns>")
add_dependencies(bench_ddns_redial kivo_ddns)
