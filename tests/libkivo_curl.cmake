# The scripted loopback HTTP(S) server joins the shared test helpers, so any
# subsystem's tests can stand it in for a remote service.
target_sources(kivo_test_support PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support/http_server.cpp)
set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/support/http_server.cpp APPEND PROPERTY
  COMPILE_DEFINITIONS KIVO_HTTP_SERVER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/support/http_server.py")

# Tests of libkivo_curl: the request helpers, the interface-bound probe, the
# streaming reader and the downloads, all against that real server.
if(NOT TARGET libkivo)
  return()
endif()

file(GLOB kivo_curl_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_libkivo_curl*.cpp)
foreach(source IN LISTS kivo_curl_tests)
  get_filename_component(name ${source} NAME_WE)
  kivo_add_gtest(${name} PREFIX "libkivo." SOURCES ${source}
    LIBRARIES libkivo kivo_test_support)
endforeach()
