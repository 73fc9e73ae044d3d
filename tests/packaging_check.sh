#!/bin/sh
# Checks what an operator gets from this build tree: the install layout under a
# temporary prefix, the service units as systemd reads them, the Debian packages,
# and the demonstration.
#
#   packaging_check.sh layout|units|demo BUILD_DIR [expected deliverables...]
#   packaging_check.sh debian OUTDIR   (builds the packages into OUTDIR)
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
    dropin=$prefix/share/doc/kivo-linkfan/examples/kivo_linkfan.service.d/multipath.conf
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
    conf=$prefix/share/doc/kivo-ddns/examples/ddns/telecom.conf
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
    rules=$prefix/share/doc/kivo-edge/examples/prometheus/kivo_alerts.yml
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
    cp "$prefix/share/doc/kivo-linkfan/examples/kivo_linkfan.service.d/multipath.conf" \
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
    level=$(cd "$(dirname "$1")" && SYSTEMD_UNIT_PATH="$(dirname "$1"):" \
        systemd-analyze security --offline=yes "${3:-$1}" 2>/dev/null |
        sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
    if [ -z "$level" ]; then
        fail "systemd-analyze security gives no exposure level for $(basename "$1")"
    elif ! awk -v level="$level" -v bound="$2" 'BEGIN { exit !(level <= bound) }'; then
        fail "$(basename "$1") exposure $level, more than $2"
    else
        echo "$(basename "${3:-$1}") exposure $level (at most $2)"
    fi
}

# The Debian packages, built as the README says (lintian, run by the build,
# fails it on any error or warning), each with what it ships and depends on,
# and their maintainer scripts as dpkg runs them.
check_debian() {
    [ "$(id -u)" -eq 0 ] || { echo "the maintainer scripts are run as root, in a mount namespace"; exit 77; }
    here=$(cd "$(dirname "$0")" && pwd)
    out=$build
    if ! "$here/../tools/debian_packages.sh" "$out" >"$work/build.log" 2>&1; then
        tail -n 60 "$work/build.log" >&2
        fail "tools/debian_packages.sh"
        exit 1
    fi
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    # OUTDIR may hold the packages of earlier versions too.
    version=$(dpkg-parsechangelog -l "$here/../debian/changelog" -S Version)
    # package, then the files it must ship and what its relations must (+) and
    # must not (-) name.
    while read -r package checks; do
        deb=$(ls "$out/${package}_${version}_"*.deb 2>/dev/null | head -n 1)
        [ -n "$deb" ] || { fail "no $package package"; continue; }
        mkdir -p "$work/root" && dpkg-deb -x "$deb" "$work/root/$package"
        dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' >"$work/$package.files"
        names=$(dpkg-deb -f "$deb" Pre-Depends Depends Recommends | sed 's/^[A-Za-z-]*://' |
            tr ',|' '\n\n' | awk '{ print $1 }')
        for c in $checks; do
            case $c in
                +*) printf '%s\n' "$names" | grep -qx -- "${c#+}" || fail "$package does not depend on ${c#+}" ;;
                -*) ! printf '%s\n' "$names" | grep -qx -- "${c#-}" || fail "$package pulls in ${c#-}" ;;
                *) grep -qx -- "$c" "$work/$package.files" || fail "$package lacks $c" ;;
            esac
        done
        ! grep -q 'libkivotraffic\.so$' "$work/$package.files" || fail "$package ships the development link"
        mkdir -p "$work/control" && dpkg-deb -e "$deb" "$work/control/$package"
    done <<EOF2
kivo-ddns /usr/bin/kivo_ddns /usr/share/man/man8/kivo_ddns.8.gz /lib/systemd/system/kivo_ddns.service /lib/systemd/system/kivo_ddns@.service /usr/share/doc/kivo-ddns/examples/ddns/telecom.conf +libcurl4 +libjansson4 +ca-certificates
kivo-linkfan /usr/sbin/kivo_linkfan /usr/share/man/man8/kivo_linkfan.8.gz /lib/systemd/system/kivo_linkfan.service /usr/share/doc/kivo-linkfan/examples/kivo_linkfan.service.d/multipath.conf +iproute2 +iptables +procps -libcurl4
kivo-trafficd /usr/sbin/kivo_trafficd /usr/share/man/man8/kivo_trafficd.8.gz /lib/systemd/system/kivo_trafficd.service +libbpf1 -curl -libcurl4 -libcurl3-gnutls -iptables -libjansson4
libkivotraffic0 /usr/lib/$multiarch/libkivotraffic.so.0 /usr/share/man/man8/libkivotraffic.8.gz +libc6 -libcurl4
kivo-edge /usr/share/doc/kivo-edge/examples/prometheus/kivo_alerts.yml +kivo-ddns +kivo-linkfan +kivo-trafficd +libkivotraffic0
EOF2

    # Every unit starts a program that its own package ships.
    for root in "$work"/root/*; do
        for unit in "$root"/lib/systemd/system/*.service "$root"/usr/share/doc/*/examples/*.service.d/*.conf; do
            [ -f "$unit" ] || continue
            for program in $(exec_paths "$unit"); do
                [ -x "$root$program" ] || fail "$(basename "$unit") starts $program, not in $(basename "$root")"
            done
        done
    done

    check_maintainer_scripts
}

# The maintainer scripts as dpkg runs them on a box whose units are disabled,
# in a private mount namespace with a booted systemd's marker, stand-ins for
# systemctl and deb-systemd-helper (which would change this machine's units)
# and the real deb-systemd-invoke, which decides from systemctl's answers what
# to start.
check_maintainer_scripts() {
    mkdir -p "$work/stubs"
    cat >"$work/stubs/systemctl" <<'EOF2'
#!/bin/sh
echo "systemctl $*" >>"$KIVO_CALLS"
case "$*" in
    *is-enabled*) echo disabled; exit 1 ;;
    *is-active*) [ "$KIVO_RUNNING" = yes ] ;;
    *list-units*) [ "$KIVO_RUNNING" = no ] || echo "kivo_ddns@telecom.service loaded active running x" ;;
esac
EOF2
    # As the real one answers for units it has never seen: not installed,
    # and to be enabled unless the package says otherwise.
    printf '#!/bin/sh\necho "deb-systemd-helper $*" >>"$KIVO_CALLS"\ncase "$*" in *debian-installed*) exit 1 ;; esac\n' \
        >"$work/stubs/deb-systemd-helper"
    # A box's policy-rc.d may forbid every start; the one here allows all.
    printf '#!/bin/sh\nexit 0\n' >"$work/stubs/policy-rc.d"
    chmod +x "$work/stubs/systemctl" "$work/stubs/deb-systemd-helper" "$work/stubs/policy-rc.d"

    # package, its units running or not, the script and its arguments, then
    # what the calls and the files left must (+) and must not (-) show; '~'
    # stands for a blank.
    while read -r package running script args expect; do
        [ -f "$work/control/$package/$script" ] || { fail "$package has no $script"; continue; }
        calls=$work/calls
        : >"$calls"
        # shellcheck disable=SC2016,SC2046
        env PATH="$work/stubs:$PATH" KIVO_STUBS="$work/stubs" KIVO_CALLS="$calls" KIVO_RUNNING="$running" unshare -m sh -c '
            mount --make-rprivate / && mount -t tmpfs none /run && mkdir -p /run/systemd/system &&
            { [ ! -e /usr/sbin/policy-rc.d ] || mount --bind "$KIVO_STUBS/policy-rc.d" /usr/sbin/policy-rc.d; } &&
            mount -t tmpfs none /var/lib && mkdir -p /var/lib/kivo_linkfan /var/lib/prometheus/node-exporter &&
            touch /var/lib/kivo_linkfan/linkfan.log &&
            (cd /var/lib/prometheus/node-exporter && touch kivo_linkfan.prom kivo_trafficd.prom kivo_ddns_telecom.prom other.prom) &&
            mount -t tmpfs none /sys/fs/bpf && mkdir /sys/fs/bpf/kivo_trafficd &&
            "$@" && { ls -A /var/lib/kivo_linkfan /var/lib/prometheus/node-exporter; ls -A /sys/fs/bpf | sed "s/^/bpf:/"; } |
                tr "\n" " " >>"$KIVO_CALLS"' \
            sh "$work/control/$package/$script" $(printf '%s' "$args" | tr '~' ' ') 2>>"$work/scripts.log" </dev/null ||
            fail "$package $script $args failed: $(tail -n 3 "$work/scripts.log")"
        for e in $(printf '%s' "$expect" | tr '|' ' '); do
            e=$(printf '%s' "$e" | tr '~' ' ')
            case $e in
                +*) grep -qF -- "${e#+}" "$calls" || fail "$package $script $args (running: $running) did not: ${e#+}" ;;
                -*) ! grep -qF -- "${e#-}" "$calls" || fail "$package $script $args (running: $running) did: ${e#-}" ;;
            esac
        done
    done <<EOF2
kivo-linkfan no postinst configure -~start~|-~enable~
kivo-linkfan yes postinst configure~1.0 +--system~restart~kivo_linkfan.service
kivo-linkfan no postinst configure~1.0 -~restart~|-~start~
kivo-linkfan yes prerm remove +systemctl~stop~kivo_linkfan.service
kivo-linkfan no postrm purge +deb-systemd-helper~purge~kivo_linkfan.service|-kivo_linkfan.prom|-linkfan.log|+other.prom|+bpf:kivo_trafficd
kivo-ddns no postinst configure -~start~|-~enable~
kivo-ddns yes postinst configure~1.0 +systemctl~try-restart~kivo_ddns@telecom.service|+--system~restart~kivo_ddns.service
kivo-ddns no postinst configure~1.0 -restart~
kivo-ddns yes prerm remove +systemctl~stop~kivo_ddns@telecom.service|+systemctl~stop~kivo_ddns.service
kivo-ddns no postrm remove -kivo_ddns_telecom.prom|+kivo_linkfan.prom
kivo-trafficd no postinst configure -~start~|-~enable~
kivo-trafficd yes postinst configure~1.0 +--system~restart~kivo_trafficd.service
kivo-trafficd yes prerm remove +systemctl~stop~kivo_trafficd.service
kivo-trafficd no postrm remove -kivo_trafficd.prom|+bpf:kivo_trafficd
kivo-trafficd no postrm purge -kivo_trafficd.prom|+kivo_linkfan.prom|-bpf:kivo_trafficd
EOF2
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
    debian) check_debian ;;
    *) echo "usage: $0 layout|units|debian|demo BUILD_DIR [ddns] [linkfan] [traffic] [trafficd]" >&2; exit 2 ;;
esac
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all $mode checks passed"
