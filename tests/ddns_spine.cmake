# Tests of the kivo_ddns spine: the option dispatcher and the buffered log of
# libkivo, the option record, and the program's entry and update cycle.
if(NOT TARGET kivo_ddns)
  return()
endif()

kivo_add_gtest(test_libkivo_option PREFIX "libkivo."
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_libkivo_option.cpp
  LIBRARIES libkivo kivo_test_support)

kivo_add_gtest(test_libkivo_log PREFIX "libkivo."
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_libkivo_log.cpp
  LIBRARIES libkivo kivo_test_support)

# The tests that run the built program find it, its help text's golden copy and
# the source of its log call through these definitions.
set(kivo_ddns_spine_defs
  KIVO_DDNS_BIN="$<TARGET_FILE:kivo_ddns>"
  KIVO_DDNS_HELP_GOLDEN="${CMAKE_CURRENT_SOURCE_DIR}/golden/kivo_ddns_help.txt"
  KIVO_DDNS_MAIN_SOURCE="${PROJECT_SOURCE_DIR}/ddns/main.cpp")

kivo_add_gtest(test_kivo_option PREFIX "ddns."
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_option.cpp
  LIBRARIES kivo_ddns_core kivo_test_support
  DEFINITIONS ${kivo_ddns_spine_defs}
  DEPENDS kivo_ddns)

kivo_add_gtest(test_kivo_ddns_cli PREFIX "ddns."
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_kivo_ddns_cli.cpp
  LIBRARIES kivo_test_support
  DEFINITIONS ${kivo_ddns_spine_defs}
  DEPENDS kivo_ddns)
