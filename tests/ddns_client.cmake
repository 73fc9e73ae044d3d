# kivo_ddns: JSON helpers, DNSPod record client, address discovery, and the real
# program end to end against the stand-ins of tools/kivo_standin.py.

if(TARGET libkivo)
  kivo_add_gtest(test_libkivo_json PREFIX "libkivo."
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_libkivo_json.cpp
    LIBRARIES libkivo kivo_test_support)
endif()

if(TARGET kivo_ddns_core)
  # Answer readers: no network.
  kivo_add_gtest(test_kivo_ddns_answers PREFIX "ddns."
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddnspod_answer.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_extern_ip_answer.cpp
    LIBRARIES kivo_ddns_core)
endif()

# The stand-ins of tools/kivo_standin.py in a namespace of the test's own.
if(TARGET libkivo)
  add_library(kivo_ddns_standin STATIC ${CMAKE_CURRENT_SOURCE_DIR}/support/ddns_standin.cpp)
  target_include_directories(kivo_ddns_standin PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
  target_compile_definitions(kivo_ddns_standin PRIVATE
    KIVO_STANDIN_TOOL="${PROJECT_SOURCE_DIR}/tools/kivo_standin.py")
  target_link_libraries(kivo_ddns_standin PUBLIC kivo_test_support libkivo)
endif()

if(TARGET kivo_ddns_core)
  kivo_add_gtest(test_kivo_ddns_client PREFIX "ddns." TIMEOUT 120
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddnspod.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_extern_ip.cpp
    LIBRARIES kivo_ddns_core kivo_ddns_standin)
endif()

# The real kivo_ddns, unchanged, against the stand-ins: ctest -R ddns.e2e
if(TARGET kivo_ddns AND TARGET kivo_ddns_standin)
  kivo_add_gtest(test_kivo_ddns_e2e PREFIX "ddns." TIMEOUT 120
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_e2e.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_hostile.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_records.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_multi.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_redial.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_metrics.cpp
    DEFINITIONS KIVO_DDNS_BINARY="$<TARGET_FILE:kivo_ddns>"
                KIVO_DDNS_UNIT="${PROJECT_SOURCE_DIR}/systemd/kivo_ddns.service"
                KIVO_DDNS_TEMPLATE_UNIT="${PROJECT_SOURCE_DIR}/systemd/kivo_ddns@.service"
    LIBRARIES kivo_ddns_standin
    DEPENDS kivo_ddns)
endif()
