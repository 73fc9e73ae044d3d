# kivo_ddns built with -DKIVO_TLS_VERIFY=ON: its HTTPS requests against the
# scripted server with a certificate of the test's own CA and with others.
# ctest -R tls. A build without the option runs the same test with
# KIVO_TLS_VERIFY=1 in its environment, as ddns.tls.*.
if(NOT TARGET kivo_ddns_core)
  return()
endif()
if(KIVO_TLS_VERIFY)
  set(kivo_tls_prefix "tls.")
else()
  set(kivo_tls_prefix "ddns.tls.")
endif()

add_executable(test_tls_verify ${CMAKE_CURRENT_SOURCE_DIR}/test_tls_verify.cpp)
target_link_libraries(test_tls_verify PRIVATE kivo_ddns_core kivo_test_support GTest::gtest_main)
gtest_discover_tests(test_tls_verify TEST_PREFIX "${kivo_tls_prefix}" DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 120)
