#!/bin/sh
# Installs what the build, the tests, the benchmarks and the Debian packages need (Debian
# 12, as root) and configures the build tree in ./build. Safe to run again: it only calls
# apt-get when a package is missing, and re-running cmake on a configured tree takes a second.
set -eu
cd "$(dirname "$0")"

packages="build-essential cmake pkg-config libcurl4-openssl-dev libjansson-dev
  libgtest-dev libgmock-dev libbenchmark-dev iproute2 iptables procps util-linux
  openssl python3 strace clang curl cppcheck clang-tidy libclang-rt-14-dev
  groff-base man-db systemd nginx-light lighttpd lighttpd-mod-webdav wrk
  libbpf-dev bpftool caddy busybox-static prometheus-node-exporter prometheus
  debhelper lintian"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "setup: installing$missing"
  [ "$(id -u)" -eq 0 ] || { echo "setup: run as root to install packages" >&2; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  # Packages of servers (nginx, prometheus, its node exporter) start their services
  # on install; the tests start their own copies in namespaces, so none may run here.
  guard=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d
    guard=/usr/sbin/policy-rc.d
    trap 'rm -f "$guard"' EXIT
  fi
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "setup: build tree configured in ./build"
