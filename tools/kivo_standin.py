#!/usr/bin/python3
"""Stand-ins for the outside parties of kivo_ddns: the DNSPod API, the five
address-echo services and the two IPv6 ones, on one plain HTTP and one HTTPS
port (and the same two ports on an IPv6 address with --listen6).

    kivo_standin.py --state DIR [--listen ADDR] [--listen6 ADDR6] [--http-port 80]
                    [--https-port 443] [--cert FILE --key FILE]

Requests are routed by their Host header, so every name may point at the same
address (a hosts file with "127.0.0.1 dnsapi.cn members.3322.org icanhazip.com
api.ipify.org ipinfo.io ifconfig.co" in a private mount namespace):

    dnsapi.cn          POST /Record.List, /Record.Create, /Record.Modify
    members.3322.org   GET /dyndns/getip       plain "ADDRESS\\n"
    icanhazip.com      GET /                   plain "ADDRESS\\n"
    api.ipify.org      GET /?format=json       {"ip":"ADDRESS"} (plain without it)
    ipinfo.io          GET /json               ipinfo's indented JSON object
    ifconfig.co        GET /json               ifconfig.co's JSON object
    api6.ipify.org     GET /                   plain "ADDRESS6"
    ipv6.icanhazip.com GET /                   plain "ADDRESS6\\n"

Files in DIR:

    control.json   read again for every request, so a test or an operator steers
                   the stand-ins while they run (replace it by rename):
                     "address"         the address the echo services report
                                       (default "198.51.100.10"); "source":
                                       the address the request came from, as
                                       the real services answer
                     "address6"        the address the IPv6 echo services report
                                       (default "2001:db8::10"); "source" too
                     "echo"            {host: mode} for the echo services
                     "dnspod"          mode of the DNSPod API
                     "refused_tokens"  login tokens DNSPod refuses (code -1)
                     "accepted_tokens" if present, the only tokens it accepts
                     "dnspod_codes"    {path: code}: DNSPod answers that API call
                                       with that status code and its message
                                       instead of doing it (e.g. "104", locked)
                   Modes: "ok" (default); "drop" (read the request, close without
                   an answer); "status:NNN" (that status with a small page);
                   "html" (200 with an HTML page); "empty" (200, no body);
                   "body:TEXT" (200 with TEXT); "hang:SECONDS" (wait, then "ok");
                   "bytes:N" (200 with N bytes of "x"); "endless:MIBPS" (200
                   without a length, "x" for ever at MIBPS MiB/s, 0 for full
                   speed); "cut:N:TEXT" (Content-Length N, only TEXT, then close).
                   A mode may be a list: the host's first request gets the first
                   mode, the next one the next, and the last one repeats.
    records.json   the DNSPod record set, a list of {"id", "domain", "name",
                   "type", "line", "value"}; read at start if present, rewritten
                   after every create and modify. Every record of a name is
                   listed, of any type and line. Create and Modify take A and
                   AAAA records on the lines of LINES; a modified record gets
                   the type, line and value of the request, as DNSPod does.
    requests.log   one JSON object a line for every request received: time,
                   scheme, host, method, path, user_agent, content_type, body
                   (UTF-8 text as received), answer (status, or "drop").
    ready          written once both ports listen; holds the process id.
    cert.pem, key.pem  a self-signed certificate made with openssl when --cert
                   is not given (clients are expected not to verify it).

The process serves until it is killed (SIGTERM or SIGINT). Exit status 2 for a
bad command line, 1 when a port cannot be opened or no certificate can be made.
"""

import argparse
import http.server
import ipaddress
import json
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

DEFAULT_ADDRESS = "198.51.100.10"
DEFAULT_ADDRESS6 = "2001:db8::10"
LINE_DEFAULT = "默认"
LINES = (LINE_DEFAULT, "电信", "联通", "移动", "教育网", "境外")
DNSPOD_HOST = "dnsapi.cn"


class State:
    """Everything the two servers share: the folder, the record set, a lock."""

    def __init__(self, folder):
        self.folder = folder
        self.lock = threading.Lock()
        self.asked = {}
        self.records = []
        self.next_id = 1000001
        path = os.path.join(folder, "records.json")
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                self.records = json.load(f)
            for record in self.records:
                self.next_id = max(self.next_id, int(record["id"]) + 1)

    def turn(self, host):
        """How many requests this host had before this one."""
        with self.lock:
            n = self.asked.get(host, 0)
            self.asked[host] = n + 1
            return n

    def control(self):
        try:
            with open(os.path.join(self.folder, "control.json"), encoding="utf-8") as f:
                value = json.load(f)
                return value if isinstance(value, dict) else {}
        except (OSError, ValueError):
            return {}

    def log(self, entry):
        line = json.dumps(entry, ensure_ascii=False, sort_keys=True)
        with self.lock:
            with open(os.path.join(self.folder, "requests.log"), "a", encoding="utf-8") as f:
                f.write(line + "\n")
        sys.stderr.write("standin: %s\n" % line)

    def save_records(self):
        path = os.path.join(self.folder, "records.json")
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            json.dump(self.records, f, ensure_ascii=False, indent=1)
        os.replace(path + ".tmp", path)


def now_text():
    return time.strftime("%Y-%m-%d %H:%M:%S")


def dnspod_status(code, message):
    return {"code": str(code), "message": message, "created_at": now_text()}


def dnspod_domain(name):
    return {
        "id": "87654321",
        "name": name,
        "punycode": name,
        "grade": "DP_Free",
        "owner": "owner@" + name,
        "ext_status": "",
        "ttl": 600,
        "min_ttl": 600,
        "dnspod_ns": ["f1g1ns1.dnspod.net", "f1g1ns2.dnspod.net"],
        "status": "enable",
        "can_handle_at_ns": True,
    }


def dnspod_record_view(record):
    return {
        "id": str(record["id"]),
        "ttl": "600",
        "value": record["value"],
        "enabled": "1",
        "status": "enable",
        "updated_on": record.get("updated_on", now_text()),
        "name": record["name"],
        "line": record["line"],
        "line_id": "0",
        "type": record["type"],
        "weight": None,
        "monitor_status": "",
        "remark": "",
        "use_aqb": "no",
        "mx": "0",
    }


def is_ipv4(text):
    parts = text.split(".")
    return len(parts) == 4 and all(p.isdigit() and len(p) <= 3 and int(p) <= 255 and
                                   (p == "0" or not p.startswith("0")) for p in parts)


DNSPOD_MESSAGES = {
    "-1": "Login failed, please check your login token",
    "8": "Record id invalid",
    "104": "Record is locked",
}


def dnspod_answer(state, path, form, control):
    """DNSPod's answer object to one API call, as the real service shapes it."""
    token = form.get("login_token", "")
    accepted = control.get("accepted_tokens")
    if (not token or token in control.get("refused_tokens", []) or
            (accepted is not None and token not in accepted)):
        return {"status": dnspod_status(-1, DNSPOD_MESSAGES["-1"])}
    code = control.get("dnspod_codes", {}).get(path)
    if code is not None:
        return {"status": dnspod_status(code, DNSPOD_MESSAGES.get(str(code), "Failed"))}
    domain = form.get("domain", "")
    if not domain:
        return {"status": dnspod_status(-7, "Domain name invalid")}
    with state.lock:
        if path == "/Record.List":
            return dnspod_list(state, domain, form.get("sub_domain"))
        if path == "/Record.Create":
            return dnspod_create(state, domain, form)
        if path == "/Record.Modify":
            return dnspod_modify(state, domain, form)
    return None


def dnspod_list(state, domain, sub_domain):
    found = [r for r in state.records
             if r["domain"] == domain and (sub_domain is None or r["name"] == sub_domain)]
    answer = {"domain": dnspod_domain(domain)}
    names = {r["name"] for r in state.records if r["domain"] == domain}
    answer["info"] = {"sub_domains": str(len(names)), "record_total": str(len(found)),
                      "records_num": str(len(found))}
    if not found:
        answer = {"status": dnspod_status(10, "No records"), **answer}
        return answer
    answer = {"status": dnspod_status(1, "Action completed successful"), **answer}
    answer["records"] = [dnspod_record_view(r) for r in found]
    return answer


def is_ipv6(text):
    try:
        return ":" in text and ipaddress.ip_address(text).version == 6
    except ValueError:
        return False


def dnspod_check_record(form):
    kind = form.get("record_type")
    if kind not in ("A", "AAAA"):
        return {"status": dnspod_status(-15, "Record type invalid")}
    if form.get("record_line") not in LINES:
        return {"status": dnspod_status(17, "Record line invalid")}
    value = form.get("value", "")
    if not (is_ipv4(value) if kind == "A" else is_ipv6(value)):
        return {"status": dnspod_status(22, "Record value invalid")}
    if not form.get("sub_domain"):
        return {"status": dnspod_status(21, "Sub domain invalid")}
    return None


def dnspod_create(state, domain, form):
    bad = dnspod_check_record(form)
    if bad:
        return bad
    record = {"id": state.next_id, "domain": domain, "name": form["sub_domain"],
              "type": form["record_type"],
              "line": form["record_line"], "value": form["value"], "updated_on": now_text()}
    state.next_id += 1
    state.records.append(record)
    state.save_records()
    return {"status": dnspod_status(1, "Action completed successful"),
            "record": {"id": str(record["id"]), "name": record["name"], "status": "enable"}}


def dnspod_modify(state, domain, form):
    record_id = form.get("record_id", "")
    record = next((r for r in state.records
                   if r["domain"] == domain and str(r["id"]) == record_id), None)
    if record is None:
        return {"status": dnspod_status(8, "Record id invalid")}
    bad = dnspod_check_record(form)
    if bad:
        return bad
    record.update(name=form["sub_domain"], type=form["record_type"], line=form["record_line"],
                  value=form["value"], updated_on=now_text())
    state.save_records()
    return {"status": dnspod_status(1, "Action completed successful"),
            "record": {"id": int(record["id"]), "name": record["name"], "value": record["value"],
                       "status": "enable"}}


def echo_answer(host, path, query, address, address6):
    """(content type, body) of an echo service, or None for a path it does not serve."""
    if host == "api6.ipify.org" and path == "/":
        return "text/plain", address6
    if host == "ipv6.icanhazip.com" and path == "/":
        return "text/plain", address6 + "\n"
    if host == "members.3322.org" and path == "/dyndns/getip":
        return "text/plain", address + "\n"
    if host == "icanhazip.com" and path == "/":
        return "text/plain", address + "\n"
    if host == "api.ipify.org" and path == "/":
        if query.get("format") == ["json"]:
            return "application/json", json.dumps({"ip": address}, separators=(",", ":"))
        return "text/plain", address
    if host == "ipinfo.io" and path == "/json":
        body = {"ip": address, "hostname": "host-" + address.replace(".", "-") + ".example.net",
                "city": "Hangzhou", "region": "Zhejiang", "country": "CN",
                "loc": "30.2936,120.1614", "org": "AS4134 CHINANET-BACKBONE",
                "timezone": "Asia/Shanghai", "readme": "https://ipinfo.io/missingauth"}
        return "application/json; charset=utf-8", json.dumps(body, indent=2)
    if host == "ifconfig.co" and path == "/json":
        decimal = 0
        if is_ipv4(address):
            for part in address.split("."):
                decimal = decimal * 256 + int(part)
        body = {"ip": address, "ip_decimal": decimal, "country": "China", "country_iso": "CN",
                "country_eu": False, "time_zone": "Asia/Shanghai", "asn": "AS4134",
                "asn_org": "CHINANET-BACKBONE",
                "user_agent": {"product": "curl", "raw_value": "libcurl"}}
        return "application/json", json.dumps(body)
    return None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "kivo-standin"

    def log_message(self, *args):
        pass  # requests.log has every request; no second, unstructured record

    def do_GET(self):
        self.serve(b"")

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.serve(self.rfile.read(length) if length > 0 else b"")

    def serve(self, raw_body):
        state = self.server.state
        control = state.control()
        host = (self.headers.get("Host") or "").split(":")[0].lower()
        url = urllib.parse.urlsplit(self.path)
        body = raw_body.decode("utf-8", errors="replace")
        entry = {"time": time.time(), "scheme": self.server.scheme, "host": host,
                 "method": self.command, "path": self.path,
                 "user_agent": self.headers.get("User-Agent"),
                 "content_type": self.headers.get("Content-Type"), "body": body}

        mode = control.get("dnspod", "ok") if host == DNSPOD_HOST else \
            control.get("echo", {}).get(host, "ok")
        if isinstance(mode, list):
            mode = mode[min(state.turn(host), len(mode) - 1)] if mode else "ok"
        if mode.startswith("hang:"):
            time.sleep(float(mode[5:]))
            mode = "ok"
        if mode == "drop":
            entry["answer"] = "drop"
            state.log(entry)
            self.close_connection = True
            return
        if mode.split(":")[0] in ("bytes", "endless", "cut"):
            entry["answer"] = 200
            state.log(entry)
            self.stream(mode)
            return
        if mode != "ok":
            status, content_type, text = canned_answer(mode)
        elif host == DNSPOD_HOST:
            status, content_type, text = self.dnspod(state, url.path, body, control)
        else:
            answer = echo_answer(host, url.path, urllib.parse.parse_qs(url.query),
                                 self.reported(control.get("address", DEFAULT_ADDRESS)),
                                 self.reported(control.get("address6", DEFAULT_ADDRESS6)))
            status, content_type, text = (200, *answer) if answer else \
                (404, "text/html", "<html><body><h1>404 Not Found</h1></body></html>\n")
        entry["answer"] = status
        state.log(entry)
        self.answer(status, content_type, text)

    def reported(self, address):
        """The address an echo service reports: the configured one, or with
        "source" the client's own (an IPv4 client of an IPv6 socket without
        its ::ffff: prefix)."""
        if address != "source":
            return address
        client = self.client_address[0]
        return client[7:] if client.startswith("::ffff:") else client

    def dnspod(self, state, path, body, control):
        if self.command != "POST":
            return 405, "text/html", "<html><body>405 Method Not Allowed</body></html>\n"
        form = {k: v[0] for k, v in urllib.parse.parse_qs(body, keep_blank_values=True).items()}
        answer = dnspod_answer(state, path, form, control)
        if answer is None:
            return 404, "text/html", "<html><body>404 Not Found</body></html>\n"
        return 200, "application/json", json.dumps(answer, ensure_ascii=False,
                                                    separators=(",", ":"))

    def stream(self, mode):
        """The big, endless and cut answers, written as they go, never held whole."""
        kind, _, rest = mode.partition(":")
        self.close_connection = True
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        if kind == "bytes":
            self.send_header("Content-Length", rest)
        elif kind == "cut":
            length, _, text = rest.partition(":")
            self.send_header("Content-Length", length)
        self.send_header("Connection", "close")
        self.end_headers()
        piece = b"x" * 65536
        try:
            if kind == "cut":
                self.wfile.write(text.encode("utf-8"))
                self.wfile.flush()
                self.connection.shutdown(socket.SHUT_RDWR)
            elif kind == "bytes":
                left = int(rest)
                while left > 0:
                    self.wfile.write(piece[:min(left, len(piece))])
                    left -= len(piece)
            else:
                pause = len(piece) / (float(rest) * 1048576) if float(rest) > 0 else 0
                while True:
                    self.wfile.write(piece)
                    if pause:
                        time.sleep(pause)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            pass  # the client has all it wanted

    def answer(self, status, content_type, text):
        data = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)
        self.close_connection = True


def canned_answer(mode):
    if mode.startswith("status:"):
        status = int(mode[7:])
        return status, "text/html", "<html><body><h1>%d</h1></body></html>\n" % status
    if mode == "html":
        return 200, "text/html", ("<!DOCTYPE html>\n<html><head><title>Service unavailable"
                                  "</title></head><body>Try again later.</body></html>\n")
    if mode == "empty":
        return 200, "text/plain", ""
    if mode.startswith("body:"):
        return 200, "text/plain", mode[5:]
    return 500, "text/plain", "kivo-standin: unknown mode %s\n" % mode


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, state, scheme, tls):
        super().__init__(address, Handler)
        self.state = state
        self.scheme = scheme
        self.tls = tls

    def finish_request(self, request, client_address):
        # The handshake happens here, in the request's own thread, so a client
        # that connects and stalls holds up no other one.
        if self.tls is not None:
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)


class Server6(Server):
    address_family = socket.AF_INET6


def make_certificate(folder):
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                    "/CN=kivo-standin", "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def main():
    parser = argparse.ArgumentParser(description="Stand-ins for DNSPod and the address-echo "
                                     "services of kivo_ddns.")
    parser.add_argument("--state", required=True, help="folder of control, record and log files")
    parser.add_argument("--listen", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--listen6", help="IPv6 address to listen on as well")
    parser.add_argument("--http-port", type=int, default=80)
    parser.add_argument("--https-port", type=int, default=443)
    parser.add_argument("--cert", help="certificate (PEM); made with openssl when not given")
    parser.add_argument("--key", help="private key of --cert (PEM)")
    args = parser.parse_args()
    if bool(args.cert) != bool(args.key):
        parser.error("--cert and --key go together")

    os.makedirs(args.state, exist_ok=True)
    state = State(args.state)
    try:
        cert, key = (args.cert, args.key) if args.cert else make_certificate(args.state)
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(cert, key)
        servers = [Server((args.listen, args.http_port), state, "http", None),
                   Server((args.listen, args.https_port), state, "https", tls)]
        if args.listen6:
            servers += [Server6((args.listen6, args.http_port), state, "http", None),
                        Server6((args.listen6, args.https_port), state, "https", tls)]
    except (OSError, subprocess.CalledProcessError, ssl.SSLError) as e:
        sys.stderr.write("standin: cannot start: %s\n" % e)
        return 1

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(os.path.join(args.state, "ready.tmp"), "w") as f:
        f.write("%d\n" % os.getpid())
    os.replace(os.path.join(args.state, "ready.tmp"), os.path.join(args.state, "ready"))
    sys.stderr.write("standin: http on %s:%d, https on %s:%d, state in %s\n" %
                     (args.listen, args.http_port, args.listen, args.https_port, args.state))
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
