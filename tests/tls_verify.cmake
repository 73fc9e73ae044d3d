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

kivo_add_gtest(test_tls_verify PREFIX "${kivo_tls_prefix}" LABELS tls TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_tls_verify.cpp
  LIBRARIES kivo_ddns_core kivo_test_support)
