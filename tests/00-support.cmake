# Helpers shared by every subsystem's tests.
add_library(kivo_test_support STATIC ${CMAKE_CURRENT_SOURCE_DIR}/support/sandbox.cpp
                                     ${CMAKE_CURRENT_SOURCE_DIR}/support/child_process.cpp
                                     ${CMAKE_CURRENT_SOURCE_DIR}/support/node_exporter.cpp
                                     ${CMAKE_CURRENT_SOURCE_DIR}/support/unit_check.cpp)
target_include_directories(kivo_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
