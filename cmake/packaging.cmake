# Manual pages, service units, install layout and the Debian package.
# The programs' own install() rules live beside their sources (bin, sbin, the
# library folder); this file adds what an operator needs around them.

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
# /usr/share/doc/kivo). The paths are rewritten when the units are installed, not
# when the tree is configured, so the prefix that counts is the one given to
# cmake --install --prefix or to cpack, and a unit never starts a program that
# is not where it points. dest is a folder, evaluated at install time.
function(kivo_install_unit source dest)
  get_filename_component(name ${source} NAME)
  install(CODE "
    file(READ \"${source}\" unit)
    string(REPLACE \"/usr/bin/\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\" unit \"\${unit}\")
    string(REPLACE \"/usr/sbin/\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/\" unit \"\${unit}\")
    string(REPLACE \"/usr/share/doc/kivo/\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}/\" unit \"\${unit}\")
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
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/kivo_ddns.service "${kivo_unit_dest}")
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/kivo_ddns@.service "${kivo_unit_dest}")
# An instance's options live in /etc/kivo/ddns/NAME.conf, which the operator
# writes; the package ships one as an example.
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/ddns/telecom.conf
  "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}/examples/ddns")
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/kivo_linkfan.service "${kivo_unit_dest}")
if(TARGET kivo_trafficd)
  kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/kivo_trafficd.service "${kivo_unit_dest}")
endif()
# The alerting rules a fleet's Prometheus starts with, on the tools' metrics.
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/prometheus/kivo_alerts.yml
  "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}/examples/prometheus")
# Multipath mode is the operator's choice, so its drop-in ships as an example.
kivo_install_unit(${CMAKE_SOURCE_DIR}/systemd/kivo_linkfan.service.d/multipath.conf
  "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}/examples/kivo_linkfan.service.d")

# The Debian package: cpack -G DEB in the build tree.
set(CPACK_PACKAGE_NAME kivo)
set(CPACK_PACKAGE_VENDOR "kivo")
set(CPACK_PACKAGE_CONTACT "kivo edge team <edge@kivo.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "edge box tools: DNSPod updater, ppp uplink routing, socket byte counter")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "kivo_ddns keeps a DNSPod A record on the box's public IPv4 address.
kivo_linkfan keeps policy routing, default routes and NAT in step with the box's ppp uplinks.
libkivotraffic.so.0, preloaded into content-provider processes, counts their socket bytes and reports them to a local traffic agent.
kivo_trafficd counts the same in the kernel for programs of any build (Linux 6.3 or later).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The tools that kivo_linkfan runs (ip, iptables, sysctl) are named here;
# dpkg-shlibdeps adds, with their versions, the libraries the binaries link:
# libcurl4 and libjansson4 for kivo_ddns, libc6 and the C++ runtime.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "iproute2, iptables, procps")
# kivo_trafficd links libbpf1; dpkg-shlibdeps finds it with the rest.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS systemd)

# The shared library needs the linker cache refreshed, and new or changed units
# need systemd to read them again; nothing is enabled or started by the package.
set(kivo_deb_control ${CMAKE_BINARY_DIR}/debian-control)
file(WRITE ${kivo_deb_control}/triggers "activate-noawait ldconfig\n")
file(WRITE ${kivo_deb_control}/postinst "#!/bin/sh
set -e
if [ -d /run/systemd/system ]; then
  systemctl daemon-reload || true
fi
")
file(WRITE ${kivo_deb_control}/postrm "#!/bin/sh
set -e
if [ -d /run/systemd/system ]; then
  systemctl daemon-reload || true
fi
")
file(CHMOD ${kivo_deb_control}/postinst ${kivo_deb_control}/postrm
     PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${kivo_deb_control}/triggers ${kivo_deb_control}/postinst ${kivo_deb_control}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Debian ships manual pages compressed; the pages of a plain install stay as
# they are. This runs on cpack's staging folder, before the package is made.
set(kivo_deb_pages ${CMAKE_BINARY_DIR}/debian-pages.cmake)
file(WRITE ${kivo_deb_pages} [=[
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.8")
list(FILTER pages INCLUDE REGEX "/man8/[^/]*\\.8$")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf ${page} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${page} failed")
  endif()
endforeach()
]=])
set(CPACK_PRE_BUILD_SCRIPTS ${kivo_deb_pages})

set(CPACK_GENERATOR DEB)
include(CPack)
