# The alerting rules that ship for a fleet's Prometheus: accepted by promtool,
# and each alert firing when it should and quiet when it should not
# (systemd/prometheus/kivo_alerts_test.yml).
find_program(KIVO_PROMTOOL promtool)
if(NOT KIVO_PROMTOOL)
  message(STATUS "prometheus.rules: not tested (needs promtool, Debian: prometheus)")
  return()
endif()
add_test(NAME prometheus.rules.check
         COMMAND ${KIVO_PROMTOOL} check rules ${PROJECT_SOURCE_DIR}/systemd/prometheus/kivo_alerts.yml)
add_test(NAME prometheus.rules.test
         COMMAND ${KIVO_PROMTOOL} test rules ${PROJECT_SOURCE_DIR}/systemd/prometheus/kivo_alerts_test.yml)
set_tests_properties(prometheus.rules.check prometheus.rules.test PROPERTIES LABELS prometheus)
