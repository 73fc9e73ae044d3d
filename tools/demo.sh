#!/usr/bin/env bash
# A one-minute demonstration of the three kivo tools that needs nothing outside
# this machine and changes nothing on it.
#
#   tools/demo.sh [BUILD_DIR]        (as root; BUILD_DIR defaults to ./build)
#
# Everything runs inside private mount, network and process-id namespaces that
# the script makes itself: local stand-ins play DNSPod and the five address-echo
# services (their names resolved through a hosts file bind-mounted over
# /etc/hosts), two simulated dual-stack ppp links, whose far ends a stand-in
# plays, carry kivo_linkfan's routing and health probes until one far end's IPv6
# side goes silent, and a
# reference traffic agent receives the reports of a preloaded program and of
# kivo_trafficd, which counts a static server the preload cannot see. At the end
# Debian's node_exporter serves the three tools' metrics files. When the script
# ends, the namespaces and every process in them end with it. Its files (logs,
# the stand-ins' state, the simulated /etc/iproute2, the metrics) stay in
# BUILD_DIR/demo for a look afterwards, and are replaced by the next run.
set -euo pipefail

tools=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
python=/usr/bin/python3

if [ "${1:-}" != --inside ]; then
    build=${1:-./build}
    [ -d "$build" ] || { echo "demo: no build directory $build (build first: cmake --build $build)" >&2; exit 1; }
    build=$(cd "$build" && pwd)
    [ "$(id -u)" -eq 0 ] || { echo "demo: run as root (it makes network and mount namespaces)" >&2; exit 1; }
    missing=""
    for f in bin/kivo_ddns bin/kivo_linkfan bin/linkfan_carrier lib/libkivotraffic.so.0; do
        [ -e "$build/$f" ] || missing="$missing $f"
    done
    for f in kivo_standin.py kivo_agent.py; do
        [ -e "$tools/$f" ] || missing="$missing tools/$f"
    done
    for cmd in "$python" unshare timeout ip iptables sysctl openssl curl prometheus-node-exporter; do
        command -v "$cmd" >/dev/null 2>&1 || missing="$missing $cmd"
    done
    [ -z "$missing" ] || { echo "demo: missing:$missing" >&2; exit 1; }
    # The whole run is bounded: a hang ends it, and with it every process inside.
    status=0
    timeout --kill-after=5 90 unshare --mount --net --pid --fork --kill-child \
        --propagation private --mount-proc "$tools/demo.sh" --inside "$build" || status=$?
    [ "$status" -ne 124 ] || echo "demo: stopped after 90 s (logs in $build/demo)" >&2
    exit "$status"
fi

build=$2
demo=$build/demo

# --- Inside the namespaces: process 1 of a new pid namespace. ---
mount --make-rprivate /
ip link set lo up
rm -rf "$demo"
mkdir -p "$demo"

started=$(date +%s%N)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

say() { printf '  %s\n' "$*"; }
show() { sed 's/^/      /'; }
step() { printf '\n[%s] %s\n' "$1" "$2"; }
elapsed() {
    local tenths=$((($(date +%s%N) - started) / 100000000))
    printf '%d.%d' $((tenths / 10)) $((tenths % 10))
}

# wait_for SECONDS WHAT COMMAND...: polls COMMAND every 0.1 s until it succeeds.
wait_for() {
    local limit=$1 what=$2
    shift 2
    local end=$(($(date +%s) + limit))
    until "$@" >/dev/null 2>&1; do
        if [ "$(date +%s)" -ge "$end" ]; then
            echo "demo: gave up after ${limit}s waiting for $what (logs in $demo)" >&2
            return 1
        fi
        sleep 0.1
    done
}

# The message part of kivo_ddns's coloured log records.
ddns_messages() { sed -n 's/.*\x1b\[0m//p' "$demo/ddns.err"; }

echo "kivo demonstration: private network, mount and pid namespaces; files in $demo"

# --- The preloaded program starts first: its report thread reports every 20 s. ---
step 3a "libkivotraffic: a preloaded web server, counted from its first byte"
"$python" -u "$tools/kivo_agent.py" 49193 >"$demo/agent.out" 2>&1 &
pids+=($!)
wait_for 5 "the traffic agent" grep -q '^listening' "$demo/agent.out"
say "reference agent tools/kivo_agent.py listening on 127.0.0.1:49193"
mkdir -p "$demo/www"
head -c 50000 /dev/urandom >"$demo/www/sample.bin"
(cd "$demo/www" && KIVO_CP=iqiyi LD_PRELOAD="$build/lib/libkivotraffic.so.0" \
    exec "$python" -u -m http.server 8080 --bind 127.0.0.1 >"$demo/www.out" 2>&1) &
pids+=($!)
wait_for 5 "the web server" grep -q 'Serving HTTP' "$demo/www.out"
say "started: KIVO_CP=iqiyi LD_PRELOAD=$build/lib/libkivotraffic.so.0 python3 -m http.server 8080"
# The client is not preloaded; it counts the bytes it sent and received itself.
read -r c_sent c_received < <("$python" - "$demo/sample.copy" <<'EOF'
import socket, sys
request = b"GET /sample.bin HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nConnection: close\r\n\r\n"
with socket.create_connection(("127.0.0.1", 8080)) as s:
    s.sendall(request)
    answer = b""
    while chunk := s.recv(65536):
        answer += chunk
open(sys.argv[1], "wb").write(answer.split(b"\r\n\r\n", 1)[1])
print(len(request), len(answer))
EOF
)
cmp -s "$demo/www/sample.bin" "$demo/sample.copy" || { echo "demo: the fetched copy differs" >&2; exit 1; }
say "a client (not preloaded) fetched the 50000-byte sample.bin: it sent $c_sent bytes and received $c_received"

# kivo_trafficd counts in the kernel what the preload cannot see: a static server.
mkdir -p "$demo/metrics"
trafficd=""
if [ -x "$build/bin/kivo_trafficd" ] && [ -x /bin/busybox ]; then
    step 4a "kivo_trafficd: a static server the preload cannot see, counted in the kernel"
    "$build/bin/kivo_trafficd" --metrics="$demo/metrics/kivo_trafficd.prom" >"$demo/trafficd.out" 2>&1 &
    trafficd=$!
    pids+=($trafficd)
    # Its metrics file is there before the load: the start shows in its log.
    wait_for 10 "kivo_trafficd" grep -q '^kivo_trafficd: started' "$demo/trafficd.out" ||
        { say "kivo_trafficd did not start here:"; show <"$demo/trafficd.out"; trafficd=""; }
fi
if [ -n "$trafficd" ]; then
    say "started: kivo_trafficd --metrics=$demo/metrics/kivo_trafficd.prom (written at once, kept by the run)"
    mkdir -p "$demo/www2"
    head -c 80000 /dev/urandom >"$demo/www2/video.bin"
    KIVO_CP=kwai /bin/busybox httpd -f -p 127.0.0.1:8081 -h "$demo/www2" &
    pids+=($!)
    wait_for 5 "busybox httpd" sh -c "ss -ltn | grep -q '127.0.0.1:8081 '"
    say "started: KIVO_CP=kwai busybox httpd -f -p 127.0.0.1:8081 (static: no dynamic loader, no preload)"
    read -r k_sent k_received < <(curl -s -o /dev/null -w '%{size_request} %{size_header}+%{size_download}\n' \
        http://127.0.0.1:8081/video.bin | sed 's/+/ /' | awk '{print $1, $2 + $3}')
    say "curl fetched the 80000-byte video.bin: it sent $k_sent bytes and received $k_received"
fi
say "the reports follow within 20 s of the servers' start; meanwhile:"

# --- kivo_ddns against the stand-ins. ---
step 1 "kivo_ddns: create a record, follow an address change, confirm it"
hosts="dnsapi.cn members.3322.org icanhazip.com api.ipify.org ipinfo.io ifconfig.co"
printf '127.0.0.1\tlocalhost\n::1\tlocalhost\n127.0.0.1\t%s\n' "$hosts" >"$demo/hosts"
mount --bind "$demo/hosts" /etc/hosts
say "hosts file bind-mounted over /etc/hosts: $hosts -> 127.0.0.1"
mkdir -p "$demo/dnspod"
printf '{"address": "198.51.100.10"}\n' >"$demo/dnspod/control.json"
"$python" -u "$tools/kivo_standin.py" --state "$demo/dnspod" >"$demo/standin.out" 2>&1 &
pids+=($!)
wait_for 15 "the DNSPod and echo stand-ins" test -e "$demo/dnspod/ready"
say "stand-ins tools/kivo_standin.py on :80 and :443 (self-signed certificate); DNSPod holds no record"
say "the echo services report 198.51.100.10"
token=12345,0123456789abcdef0123456789abcdef
"$build/bin/kivo_ddns" --interval=1 --sub_domain=edge1 --main_domain=example.com \
    --ddns_token=$token --metrics="$demo/metrics/kivo_ddns.prom" >"$demo/ddns.out" 2>"$demo/ddns.err" &
ddns=$!
pids+=($ddns)
say "started: kivo_ddns --interval=1 --sub_domain=edge1 --main_domain=example.com --ddns_token=$token"
say "         --metrics=$demo/metrics/kivo_ddns.prom"
wait_for 30 "the record to be created" grep -q 'create: edge1.example.com --> 198.51.100.10' "$demo/ddns.err"
wait_for 30 "the address to be confirmed" grep -q 'exist and same: edge1.example.com --> 198.51.100.10' "$demo/ddns.err"
printf '{"address": "198.51.100.20"}\n' >"$demo/dnspod/control.tmp"
mv "$demo/dnspod/control.tmp" "$demo/dnspod/control.json"
say "the echo services now report 198.51.100.20"
wait_for 30 "the record to be modified" grep -q 'exist and diff: edge1.example.com --> 198.51.100.20' "$demo/ddns.err"
wait_for 30 "the new address to be confirmed" grep -q 'exist and same: edge1.example.com --> 198.51.100.20' "$demo/ddns.err"
# kivo_ddns goes on (a stopped one removes its metrics file, which step 5 shows).
say "its discovery diagnostics of the first pass (standard output):"
head -n 3 "$demo/ddns.out" | show
say "its log (standard error, one record per event):"
ddns_messages | grep -v '^interval:' | uniq | show
say "and after every pass: $(ddns_messages | grep '^interval:' | tail -n 1)"
say "DNSPod received, in order:"
"$python" - "$demo/dnspod/requests.log" <<'EOF' | show
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    if r["host"] == "dnsapi.cn":
        form = dict(p.split("=", 1) for p in r["body"].split("&"))
        extra = "".join("  %s=%s" % (k, form[k]) for k in ("value", "record_id") if k in form)
        print("%s %s://%s%s%s" % (r["method"], r["scheme"], r["host"], r["path"], extra))
echo = {}
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    if r["host"] != "dnsapi.cn":
        echo[r["host"]] = echo.get(r["host"], 0) + 1
print("and the echo services: " + ", ".join("%s %d" % kv for kv in echo.items()) +
      " (the first source answered every pass, so no other was asked)")
EOF
say "the record at the stand-in now:"
"$python" -c 'import json,sys; [print("%s.%s %s %s (id %s)" % (r["name"], r["domain"], r["type"], r["value"], r["id"])) for r in json.load(open(sys.argv[1]))]' \
    "$demo/dnspod/records.json" | show

# --- kivo_linkfan -m -t over two simulated ppp links. ---
step 2 "kivo_linkfan -m -t: policy routing over two simulated ppp links, and their health"
mkdir -p "$demo/iproute2" "$demo/linkfan"
cp -a /etc/iproute2/. "$demo/iproute2/"
mount --bind "$demo/iproute2" /etc/iproute2
say "a copy of /etc/iproute2 bind-mounted over it; working directory $demo/linkfan"
# The carriers' side: it makes each link as a tun device and answers the echo
# requests, IPv4 and IPv6, that leave through it, until told to swallow them.
coproc CARRIER { exec "$build/bin/linkfan_carrier" 2>"$demo/carrier.err"; }
pids+=($CARRIER_PID)
carrier() {
    local line
    echo "$1" >&"${CARRIER[1]}"
    read -r -t 10 line <&"${CARRIER[0]}" && [ "${line%% *}" = "$2" ]
}
read -r -t 5 line <&"${CARRIER[0]}"
for n in 0 1; do
    carrier "add $n" added || { echo "demo: the carrier could not make ppp$n" >&2; exit 1; }
    say "ppp$n: 10.0.$n.2 peer 10.0.$n.1, $(ip -6 -o addr show dev ppp$n scope global | awk '{print $4}')" \
        "(a tun device: point-to-point; its far end answers echo requests)"
done
(cd "$demo/linkfan" && exec "$build/bin/kivo_linkfan" -m -t 192.0.2.1,2001:db8:ffff::1 \
    --metrics="$demo/metrics/kivo_linkfan.prom" >"$demo/linkfan.out" 2>&1) &
linkfan=$!
pids+=($linkfan)
say "started: kivo_linkfan -m -t 192.0.2.1,2001:db8:ffff::1 --metrics=$demo/metrics/kivo_linkfan.prom"
wait_for 20 "the first cycle" grep -q 'finish!!!!' "$demo/linkfan/linkfan.log"
say "first cycle done; from its records in linkfan.log:"
sed -n 's/^[-0-9]* [0-9:.]* \[[A-Z]*\]: //p' "$demo/linkfan/linkfan.log" |
    grep -E '^(update|set )' | show
say "what it left in the kernel:"
say "/etc/iproute2/rt_tables:"
show <"$demo/iproute2/rt_tables"
say "ip rule:"
ip rule | show
say "ip -6 rule (the per-link rules):"
ip -6 rule | grep ppp | show
say "ip route (main table):"
ip route | show
say "ip route show table balance:"
ip route show table balance | show
say "ip -6 route show default (the box's own IPv6, over every link with IPv6):"
ip -6 route show default | show
for n in 0 1; do
    say "table ppp$n: $(ip route show table ppp$n | tr '\n' ' ')| ipv6: $(ip -6 route show table ppp$n | tr '\n' ' ')"
done
say "iptables -t nat -S POSTROUTING:"
iptables -t nat -S POSTROUTING | show
say "sysctl: fib_multipath_hash_policy=$(sysctl -n net.ipv4.fib_multipath_hash_policy)" \
    "fib_multipath_use_neigh=$(sysctl -n net.ipv4.fib_multipath_use_neigh)" \
    "ipv6 fib_multipath_hash_policy=$(sysctl -n net.ipv6.fib_multipath_hash_policy)"
qlen() { ip -o link show "$1" | sed -n 's/.* qlen \([0-9]*\).*/\1/p'; }
say "txqueuelen: ppp0 $(qlen ppp0), ppp1 $(qlen ppp1)"
say "linkfan.status (every 2 s each link probes 192.0.2.1 and 2001:db8:ffff::1 through its own device):"
show <"$demo/linkfan/linkfan.status"
carrier "swallow 1 ipv6" ok
say "ppp1's far end now swallows the IPv6 probes only: 3 rounds lost of 5 take its IPv6 down"
wait_for 20 "ppp1's IPv6 to be judged down" \
    grep -q '^kivo_linkfan_link_up{link="ppp1",family="ipv6"} 0' "$demo/metrics/kivo_linkfan.prom"
wait_for 5 "the IPv6 default route to leave ppp1" sh -c '! ip -6 route show default metric 512 | grep -q ppp1'
say "$(sed -n 's/^[-0-9]* [0-9:.]* \[[A-Z]*\]: //p' "$demo/linkfan/linkfan.log" | grep -m1 'link ppp1 .* is down')"
say "linkfan.status:"
show <"$demo/linkfan/linkfan.status"
say "kivo_linkfan.prom of ppp1's IPv6 (the change's Unix time, ppp1's table as a label):"
grep -E '^kivo_linkfan_link_(up|state_changes_total|last_change_timestamp_seconds)\{link="ppp1",family="ipv6"\}|^kivo_linkfan_link_info\{link="ppp1"' \
    "$demo/metrics/kivo_linkfan.prom" | show
say "ip -6 route show default (ppp1 carries no IPv6 default route while its IPv6 is down):"
ip -6 route show default | show
say "ip route show table balance (its IPv4 still answers: ppp1 stays in the IPv4 routes):"
ip route show table balance | show

# --- Back to the counted servers: their reports. ---
# agent_report CP: waits for the agent's first report under CP and shows it;
# sb and rb are then its counts.
agent_report() {
    wait_for 40 "the report of $1" grep -q "^report.* cp=$1 " "$demo/agent.out"
    report=$(grep -m1 "^report.* cp=$1 " "$demo/agent.out")
    say "agent received: ${report%% request=*}"
    sb=$(printf '%s\n' "$report" | sed -n 's/.* sb=\([0-9]*\).*/\1/p')
    rb=$(printf '%s\n' "$report" | sed -n 's/.* rb=\([0-9]*\).*/\1/p')
}
step 3b "libkivotraffic: the report reaches the agent"
agent_report iqiyi
say "request text: ${report#* request=}"
if [ "$sb" -eq "$c_received" ] && [ "$rb" -eq "$c_sent" ]; then
    say "sb=$sb is what the client received, rb=$rb what it sent: the server's socket bytes, counted exactly"
else
    say "the client received $c_received bytes and sent $c_sent; the report says sb=$sb rb=$rb"
fi
if [ -n "$trafficd" ]; then
    step 4b "kivo_trafficd: its report reaches the same agent"
    agent_report kwai
    if [ "$sb" -eq "$k_received" ] && [ "$rb" -eq "$k_sent" ]; then
        say "sb=$sb is what curl received, rb=$rb what it sent: busybox's socket bytes, counted in the kernel"
    else
        say "curl received $k_received bytes and sent $k_sent; the report says sb=$sb rb=$rb"
    fi
    wait_for 5 "the daemon's metrics after its cycle" grep -q '^kivo_trafficd_sent_bytes_total{cp="kwai"' \
        "$demo/metrics/kivo_trafficd.prom"
fi

# --- The metrics, as a fleet's Prometheus sees them. ---
step 5 "the tools' metrics files, served by Debian's prometheus-node-exporter"
prometheus-node-exporter --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$demo/metrics" --web.listen-address=127.0.0.1:9100 \
    >"$demo/node_exporter.out" 2>&1 &
pids+=($!)
wait_for 10 "node_exporter" curl -sf -o "$demo/scrape.txt" http://127.0.0.1:9100/metrics
say "files in $demo/metrics: $(cd "$demo/metrics" && ls ./*.prom | tr '\n' ' ')"
say "curl http://127.0.0.1:9100/metrics, the tools' series (HELP and TYPE lines left out):"
grep -E '^(kivo_|node_textfile_scrape_error)' "$demo/scrape.txt" | show

if [ -n "$trafficd" ]; then
    step 6 "kivo_trafficd stopped by SIGTERM: a last cycle, then its metrics file goes with it"
    kill -TERM "$trafficd"
    wait "$trafficd" || true
    say "$(tail -n 1 "$demo/trafficd.out")"
    say "files in $demo/metrics now: $(cd "$demo/metrics" && ls ./*.prom | tr '\n' ' ')"
fi

step done "$(elapsed) s; the namespaces and all their processes end with this script"
