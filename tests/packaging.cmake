# What an operator gets: the install layout and the service units. The Debian
# packages take minutes to build and are checked by .ci/harden (packaging_check.sh debian).
# Each deliverable that this tree builds must be installed where it belongs.
set(kivo_packaged)
if(TARGET kivo_ddns)
  list(APPEND kivo_packaged ddns)
endif()
if(TARGET kivo_linkfan)
  list(APPEND kivo_packaged linkfan)
endif()
if(TARGET kivotraffic OR TARGET libkivotraffic)
  list(APPEND kivo_packaged traffic)
endif()
if(TARGET kivo_trafficd)
  list(APPEND kivo_packaged trafficd)
endif()

foreach(check layout units)
  add_test(NAME packaging.${check}
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging_check.sh ${check} ${CMAKE_BINARY_DIR}
                   ${kivo_packaged})
  # Installs write the build tree's install_manifest.txt: one at a time.
  set_tests_properties(packaging.${check} PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 180 RESOURCE_LOCK kivo_install)
endforeach()

# The demonstration needs the three deliverables it shows.
if("ddns" IN_LIST kivo_packaged AND "linkfan" IN_LIST kivo_packaged AND "traffic" IN_LIST kivo_packaged)
  add_test(NAME packaging.demo
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging_check.sh demo ${CMAKE_BINARY_DIR})
  set_tests_properties(packaging.demo PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 150)
endif()
