#!/bin/sh
# Checks what an operator gets from this build tree: the install layout under a
# temporary prefix, the service units as systemd reads them, the Debian package,
# and the demonstration.
#
#   packaging_check.sh layout|units|deb|demo BUILD_DIR [expected deliverables...]
#
# The expected deliverables (ddns, linkfan, traffic, trafficd) are those that the tree
# builds; each one named must be installed where an operator looks for it.
# Exit status 0: all checks passed; 1: a check failed; 77: nothing to check here.
set -eu

mode=$1
build=$2
shift 2
expected=" $* "

work=$(mktemp -d "${TMPDIR:-/tmp}/kivo-packaging.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expects() {
    case $expected in *" $1 "*) return 0 ;; *) return 1 ;; esac
}

install_into() {
    if ! cmake --install "$build" --prefix "$1" >"$work/install.log" 2>&1; then
        cat "$work/install.log" >&2
        fail "cmake --install into $1"
        exit 1
    fi
}

# The one library folder under the prefix that holds the preload library
# (lib, lib64 or a multiarch folder, as GNUInstallDirs chose).
library_of() {
    find "$1" -name 'libkivotraffic.so.0' 2>/dev/null | head -n 1
}

# First word of every ExecStart= line that starts a program.
exec_paths() {
    sed -n 's/^ExecStart=\([^ ]\{1,\}\).*/\1/p' "$1"
}

check_page() {
    page=$1
    command -v groff >/dev/null 2>&1 || { fail "groff is needed to check $page (Debian: groff-base)"; return; }
    [ -f "$page" ] || { fail "manual page $page missing"; return; }
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1 || true)
    [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
}

# Every option that a program's usage text names must be in its manual page, so
# the page cannot silently fall behind the program.
check_options_documented() {
    page=$1
    usage=$2
    for opt in $(printf '%s\n' "$usage" | grep -o -- '--[a-z_-]*[a-z]' | sort -u); do
        roff=$(printf '%s' "$opt" | sed 's/-/\\\\-/g')
        grep -q -- "$roff" "$page" || fail "$(basename "$page") does not document $opt"
    done
}

check_layout() {
    prefix=$work/prefix
    install_into "$prefix"

    if expects ddns; then
        [ -x "$prefix/bin/kivo_ddns" ] || fail "bin/kivo_ddns not installed"
    fi
    if expects linkfan; then
        [ -x "$prefix/sbin/kivo_linkfan" ] || fail "sbin/kivo_linkfan not installed"
    fi
    if expects traffic; then
        lib=$(library_of "$prefix")
        if [ -z "$lib" ]; then
            fail "libkivotraffic.so.0 not installed"
        else
            case ${lib#"$prefix"/} in
                lib*/libkivotraffic.so.0) ;;
                *) fail "libkivotraffic.so.0 outside a library folder: $lib" ;;
            esac
            soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
            [ "$soname" = libkivotraffic.so.0 ] || fail "soname of $lib is '$soname'"
            dev=$(dirname "$lib")/libkivotraffic.so
            if [ ! -L "$dev" ]; then
                fail "development link $dev missing"
            elif [ "$(readlink -f "$dev")" != "$(readlink -f "$lib")" ]; then
                fail "$dev does not lead to $lib"
            fi
        fi
    fi

    pages="kivo_ddns kivo_linkfan libkivotraffic"
    expects trafficd && pages="$pages kivo_trafficd"
    for page in $pages; do
        check_page "$prefix/share/man/man8/$page.8"
    done
    if expects trafficd; then
        [ -x "$prefix/sbin/kivo_trafficd" ] || fail "sbin/kivo_trafficd not installed"
        check_options_documented "$prefix/share/man/man8/kivo_trafficd.8" \
            "$("$prefix/sbin/kivo_trafficd" -h)"
        for opt in -d -h; do
            grep -q -- "^\\.B \\\\$opt\$" "$prefix/share/man/man8/kivo_trafficd.8" ||
                fail "kivo_trafficd.8 does not document $opt"
        done
    fi
    if expects ddns && [ -x "$prefix/bin/kivo_ddns" ]; then
        check_options_documented "$prefix/share/man/man8/kivo_ddns.8" \
            "$("$prefix/bin/kivo_ddns" --help)"
    fi
    if expects linkfan && [ -x "$prefix/sbin/kivo_linkfan" ]; then
        # -h only prints; it also creates linkfan.log in its working directory.
        check_options_documented "$prefix/share/man/man8/kivo_linkfan.8" \
            "$(cd "$work" && "$prefix/sbin/kivo_linkfan" -h || true)"
    fi
    if expects traffic && [ -n "$(library_of "$prefix")" ]; then
        # Every name the library exports is named in its page.
        for sym in $(nm -D --defined-only "$(library_of "$prefix")" | awk '{print $3}' | sed 's/@.*//' | sort -u); do
            grep -qw -- "$sym" "$prefix/share/man/man8/libkivotraffic.8" ||
                fail "libkivotraffic.8 does not name the export $sym"
        done
    fi

    units=$prefix/lib/systemd/system
    dropin=$prefix/share/doc/kivo/examples/kivo_linkfan.service.d/multipath.conf
    daemon_unit=
    expects trafficd && daemon_unit=$units/kivo_trafficd.service
    for unit in "$units/kivo_ddns.service" "$units/kivo_ddns@.service" \
        "$units/kivo_linkfan.service" "$dropin" $daemon_unit; do
        [ -f "$unit" ] || { fail "$unit not installed"; continue; }
        for program in $(exec_paths "$unit"); do
            [ -x "$program" ] || fail "$(basename "$unit") starts $program, which is not installed"
        done
    done
    grep -q '^ExecStart=.*/kivo_linkfan -m\( \|$\)' "$dropin" 2>/dev/null ||
        fail "the multipath drop-in does not start kivo_linkfan -m"
    conf=$prefix/share/doc/kivo/examples/ddns/telecom.conf
    grep -q '^KIVO_DDNS_OPTS=.*--line=' "$conf" 2>/dev/null ||
        fail "the example instance conf $conf is missing or sets no KIVO_DDNS_OPTS"
    # No unit holds a token: the template takes it from a credential.
    grep -q '^LoadCredential=ddns_token:/etc/kivo/ddns/token$' "$units/kivo_ddns@.service" 2>/dev/null ||
        fail "kivo_ddns@.service does not load the token as a credential"
    grep -q -- '--ddns_token' "$units/kivo_ddns@.service" "$conf" 2>/dev/null &&
        fail "a token option in kivo_ddns@.service or the example conf"

    # Every long-running tool's unit hands it a metrics file where Debian's
    # node_exporter reads them, and the alerting rules a fleet starts with
    # are installed and accepted by promtool.
    for unit in "$units/kivo_ddns.service" "$units/kivo_ddns@.service" \
        "$units/kivo_linkfan.service" $daemon_unit; do
        grep -q '^ExecStart=.* --metrics=/var/lib/prometheus/node-exporter/[a-z_%]*\.prom' "$unit" 2>/dev/null ||
            fail "$(basename "$unit") writes no metrics for node_exporter"
    done
    rules=$prefix/share/doc/kivo/examples/prometheus/kivo_alerts.yml
    if ! command -v promtool >/dev/null 2>&1; then
        fail "promtool is needed to check $rules (Debian: prometheus)"
    elif ! promtool check rules "$rules" >"$work/promtool.log" 2>&1; then
        fail "promtool check rules refuses $rules: $(cat "$work/promtool.log")"
    fi

    # Nothing may land outside the prefix it was given.
    while IFS= read -r path; do
        case $path in
            "$prefix"/*) ;;
            *) fail "installed outside the prefix: $path" ;;
        esac
    done <"$build/install_manifest.txt"
}

check_units() {
    command -v systemd-analyze >/dev/null 2>&1 || { echo "no systemd-analyze here"; exit 77; }
    prefix=$work/prefix
    install_into "$prefix"
    units=$prefix/lib/systemd/system
    # verify also looks the Documentation= pages up, in the installed tree; a
    # machine without man(1) cannot, and the pages are checked by the layout test.
    export MANPATH="$prefix/share/man"
    man_check=--man=yes
    command -v man >/dev/null 2>&1 || man_check=--man=no

    # Warnings count as failures too: systemd ignores an unknown setting and
    # verify still exits 0.
    daemon_unit=
    expects trafficd && daemon_unit=$units/kivo_trafficd.service
    out=$(systemd-analyze verify $man_check "$units/kivo_ddns.service" "$units/kivo_linkfan.service" $daemon_unit 2>&1) ||
        fail "systemd-analyze verify refuses the units"
    [ -z "$out" ] || fail "systemd-analyze verify: $out"

    # The template, as systemd reads one of its instances.
    mkdir -p "$work/instances"
    cp "$units/kivo_ddns@.service" "$work/instances/"
    out=$(SYSTEMD_UNIT_PATH="$work/instances:" systemd-analyze verify $man_check kivo_ddns@telecom.service 2>&1) ||
        fail "systemd-analyze verify refuses kivo_ddns@telecom.service"
    [ -z "$out" ] || fail "systemd-analyze verify kivo_ddns@telecom.service: $out"

    # The drop-in, placed as an operator places it.
    mkdir -p "$work/units/kivo_linkfan.service.d"
    cp "$units/kivo_linkfan.service" "$work/units/"
    cp "$prefix/share/doc/kivo/examples/kivo_linkfan.service.d/multipath.conf" \
        "$work/units/kivo_linkfan.service.d/"
    out=$(SYSTEMD_UNIT_PATH="$work/units:" systemd-analyze verify $man_check "$work/units/kivo_linkfan.service" 2>&1) ||
        fail "systemd-analyze verify refuses kivo_linkfan with the multipath drop-in"
    [ -z "$out" ] || fail "systemd-analyze verify with the drop-in: $out"

    # Exposure, as systemd scores it (lower is safer): the updater at most
    # where systemd's own resolved is, the root services at most 3.0.
    check_exposure "$units/kivo_ddns.service" 1.9
    check_exposure "$work/instances/kivo_ddns@.service" 1.9 kivo_ddns@telecom.service
    check_exposure "$units/kivo_linkfan.service" 3.0
    [ -z "$daemon_unit" ] || check_exposure "$daemon_unit" 3.0
}

# check_exposure UNIT_FILE BOUND [INSTANCE]: the overall exposure level that
# systemd-analyze security gives the unit (or the template's instance) is at
# most BOUND.
check_exposure() {
    if [ -n "${3:-}" ]; then
        level=$(cd "$(dirname "$1")" && SYSTEMD_UNIT_PATH="$(dirname "$1"):" \
            systemd-analyze security --offline=yes "$3" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
    else
        level=$(cd "$(dirname "$1")" && systemd-analyze security --offline=yes "$1" 2>/dev/null |
            sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
    fi
    if [ -z "$level" ]; then
        fail "systemd-analyze security gives no exposure level for $(basename "$1")"
    elif ! awk -v level="$level" -v bound="$2" 'BEGIN { exit !(level <= bound) }'; then
        fail "$(basename "$1") exposure $level, more than $2"
    else
        echo "$(basename "${3:-$1}") exposure $level (at most $2)"
    fi
}

check_deb() {
    command -v dpkg-deb >/dev/null 2>&1 || { echo "no dpkg-deb here"; exit 77; }
    if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1; then
        cat "$work/cpack.log" >&2
        fail "cpack -G DEB"
        exit 1
    fi
    deb=$(find "$work/deb" -maxdepth 1 -name '*.deb' | head -n 1)
    [ -n "$deb" ] || { fail "cpack made no .deb"; exit 1; }

    depends=$(dpkg-deb -f "$deb" Depends)
    deps="libcurl4 libjansson4 iproute2 iptables procps"
    expects trafficd && deps="$deps libbpf1"
    for dep in $deps; do
        printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$dep\( \|$\)" ||
            fail "the package does not depend on $dep (Depends: $depends)"
    done

    dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
    # Debian's manual pages are compressed.
    want="/usr/share/man/man8/kivo_ddns.8.gz /usr/share/man/man8/kivo_linkfan.8.gz
        /usr/share/man/man8/libkivotraffic.8.gz /usr/lib/systemd/system/kivo_ddns.service
        /usr/lib/systemd/system/kivo_linkfan.service /usr/lib/systemd/system/kivo_ddns@.service
        /usr/share/doc/kivo/examples/kivo_linkfan.service.d/multipath.conf
        /usr/share/doc/kivo/examples/ddns/telecom.conf
        /usr/share/doc/kivo/examples/prometheus/kivo_alerts.yml"
    expects ddns && want="$want /usr/bin/kivo_ddns"
    expects linkfan && want="$want /usr/sbin/kivo_linkfan"
    expects trafficd && want="$want /usr/sbin/kivo_trafficd /usr/share/man/man8/kivo_trafficd.8.gz
        /usr/lib/systemd/system/kivo_trafficd.service"
    for f in $want; do
        grep -qx -- "$f" "$work/files" || fail "the package lacks $f"
    done
    if expects traffic; then
        grep -qx '/usr/lib[^/]*\(/[^/]*\)\{0,1\}/libkivotraffic\.so\.0' "$work/files" ||
            fail "the package lacks libkivotraffic.so.0"
        grep -qx '/usr/lib[^/]*\(/[^/]*\)\{0,1\}/libkivotraffic\.so' "$work/files" ||
            fail "the package lacks the libkivotraffic.so link"
    fi
    grep -v '^/usr/' "$work/files" | grep -vx '/' | grep -q . &&
        fail "the package installs outside /usr: $(grep -v '^/usr/' "$work/files" | grep -vx '/' | tr '\n' ' ')"

    # The units in the package must start the packaged programs, not a path of
    # the staging folder that cpack installed into.
    mkdir -p "$work/root"
    dpkg-deb -x "$deb" "$work/root"
    for unit in "$work/root/usr/lib/systemd/system/kivo_ddns.service" \
        "$work/root/usr/lib/systemd/system/kivo_ddns@.service" \
        "$work/root/usr/lib/systemd/system/kivo_linkfan.service" \
        "$work/root/usr/lib/systemd/system/kivo_trafficd.service" \
        "$work/root/usr/share/doc/kivo/examples/kivo_linkfan.service.d/multipath.conf"; do
        [ -f "$unit" ] || continue
        for program in $(exec_paths "$unit"); do
            [ -x "$work/root$program" ] || fail "packaged $(basename "$unit") starts $program, not in the package"
        done
    done
}

# The README's demonstration, run as an operator runs it: it must end by itself
# and show each tool doing its job.
check_demo() {
    [ "$(id -u)" -eq 0 ] || { echo "the demonstration needs root"; exit 77; }
    here=$(cd "$(dirname "$0")" && pwd)
    if ! "$here/../tools/demo.sh" "$build" >"$work/demo.out" 2>&1; then
        cat "$work/demo.out" >&2
        fail "tools/demo.sh $build"
        return
    fi
    for line in "create: edge1.example.com --> 198.51.100.10" \
        "exist and diff: edge1.example.com --> 198.51.100.20" \
        "exist and same: edge1.example.com --> 198.51.100.20" \
        "POST https://dnsapi.cn/Record.Modify  value=198.51.100.20" \
        "nexthop via 10.0.1.1 dev ppp1 weight 1" \
        "-A POSTROUTING -o ppp0 -j MASQUERADE" \
        "counted exactly" \
        "link ppp1 (2001:db8:1::2) is down" \
        'kivo_linkfan_link_up{family="ipv6",link="ppp1"} 0' \
        'kivo_linkfan_link_up{family="ipv4",link="ppp1"} 1' \
        'kivo_linkfan_link_info{link="ppp1",table="20"} 1' \
        'kivo_linkfan_link_state_changes_total{link="ppp1",family="ipv6"} 1' \
        'kivo_ddns_address_info{address="198.51.100.20"' \
        "node_textfile_scrape_error 0"; do
        grep -qF -- "$line" "$work/demo.out" || fail "the demonstration does not show: $line"
    done
    # After ppp1's IPv6 went down, the IPv6 default leads through ppp0 alone, and
    # the balance table's IPv4 one through both.
    sed -n '/ppp1 carries no IPv6 default route/,/its IPv4 still answers/p' "$work/demo.out" |
        grep -q 'dev ppp1' &&
        fail "the demonstration's IPv6 default route still leads through ppp1 once it is down"
    sed -n '/its IPv4 still answers/,/^$/p' "$work/demo.out" | grep -q 'dev ppp1' ||
        fail "the demonstration's balance table lost ppp1 with its IPv6"
    if [ -x "$build/bin/kivo_trafficd" ]; then
        for line in "counted in the kernel" 'kivo_trafficd_sent_bytes_total{cp="kwai"'; do
            grep -qF -- "$line" "$work/demo.out" || fail "the demonstration does not show: $line"
        done
    fi
    [ "$failures" -eq 0 ] || cat "$work/demo.out" >&2
}

case $mode in
    layout) check_layout ;;
    demo) check_demo ;;
    units) check_units ;;
    deb) check_deb ;;
    *) echo "usage: $0 layout|units|deb|demo BUILD_DIR [ddns] [linkfan] [traffic] [trafficd]" >&2; exit 2 ;;
esac
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all $mode checks passed"
