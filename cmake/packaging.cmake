# Manual pages, service units and examples: the install layout.
# The programs' own install() rules live beside their sources (bin, sbin, the
# library folder); this file adds what an operator needs around them. The
# Debian packages (debian/) are made from this layout.

set(KIVO_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Folder of the systemd units: relative to the install prefix, or absolute")

# The pages are copied whatever the destination holds: install(FILES) skips a
# file whose time stamp matches, so another page installed to the same name (as
# a subsystem may do) would win by chance, depending on checkout times.
function(kivo_install_page source)
  get_filename_component(name ${source} NAME)
  set(dest "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man8")
  install(CODE "
    message(STATUS \"Installing: \$ENV{DESTDIR}${dest}/${name}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${dest}\")
    file(COPY_FILE \"${source}\" \"\$ENV{DESTDIR}${dest}/${name}\")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"${dest}/${name}\")
  ")
endfunction()

kivo_install_page(${CMAKE_SOURCE_DIR}/man/kivo_ddns.8)
kivo_install_page(${CMAKE_SOURCE_DIR}/man/kivo_linkfan.8)
kivo_install_page(${CMAKE_SOURCE_DIR}/man/libkivotraffic.8)
if(TARGET kivo_trafficd)
  kivo_install_page(${CMAKE_SOURCE_DIR}/man/kivo_trafficd.8)
endif()

# The units name the programs by their packaged paths (/usr/bin, /usr/sbin,
# /usr/share/doc/PACKAGE). The paths are rewritten when the units are installed,
# not when the tree is configured, so the prefix that counts is the one given to
# cmake --install --prefix (/usr in the Debian build), and a unit never starts a
# program that is not where it points. dest is a folder, evaluated at install time.
function(kivo_install_unit source dest)
  get_filename_component(name ${source} NAME)
  install(CODE "
    file(READ \"${source}\" unit)
    string(REPLACE \"/usr/bin/\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\" unit \"\${unit}\")
    string(REPLACE \"/usr/sbin/\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/\" unit \"\${unit}\")
    string(REPLACE \"/usr/share/doc/\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/doc/\" unit \"\${unit}\")
    message(STATUS \"Installing: \$ENV{DESTDIR}${dest}/${name}\")
    file(WRITE \"\$ENV{DESTDIR}${dest}/${name}\" \"\${unit}\")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"${dest}/${name}\")
  ")
endfunction()

if(IS_ABSOLUTE "${KIVO_SYSTEMD_UNITDIR}")
  set(kivo_unit_dest "${KIVO_SYSTEMD_UNITDIR}")
else()
  set(kivo_unit_dest "\${CMAKE_INSTALL_PREFIX}/${KIVO_SYSTEMD_UNITDIR}")
endif()
# Each tool's examples are in the documentation folder of its Debian package
# (debian/control), where its units and manual page point.
set(kivo_doc "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/doc")
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/kivo_ddns.service "${kivo_unit_dest}")
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/kivo_ddns@.service "${kivo_unit_dest}")
# An instance's options live in /etc/kivo/ddns/NAME.conf, which the operator
# writes; the package ships one as an example.
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/ddns/telecom.conf "${kivo_doc}/kivo-ddns/examples/ddns")
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/kivo_linkfan.service "${kivo_unit_dest}")
if(TARGET kivo_trafficd)
  kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/kivo_trafficd.service "${kivo_unit_dest}")
endif()
# The alerting rules a fleet's Prometheus starts with, on the metrics of all
# the tools, and their test (promtool test rules): the metapackage kivo-edge,
# which stands for them all, ships them.
foreach(rules kivo_alerts.yml kivo_alerts_test.yml)
  kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/prometheus/${rules}
    "${kivo_doc}/kivo-edge/examples/prometheus")
endforeach()
# Multipath mode is the operator's choice, so its drop-in ships as an example.
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/kivo_linkfan.service.d/multipath.conf
  "${kivo_doc}/kivo-linkfan/examples/kivo_linkfan.service.d")
