#!/usr/bin/python3
"""Scripted HTTP and HTTPS server for the kivo tests and demonstrations.

Listens on one or more addresses (--listen http://ADDR:PORT or https://ADDR:PORT,
port 0 picks a free one), prints "listening SCHEME ADDR PORT" for each and then
"ready" on standard output, and serves until it is killed.

Answers come from a routes file (--routes FILE, a JSON list, read again whenever
it changes, so a test can change the script while the server runs) and, when no
route matches, from built-in paths:

  /status/CODE        answer CODE with the body "status CODE\\n"
  /bytes/N            N bytes of the pattern byte(i) = i % 251
  /echo               the request as it arrived: request line, headers, blank line, body
  /redirect?to=URL    302 (or ?code=3xx) with Location URL and the body "redirect\\n"
  /empty              200 with an empty body
  /hangup             close the connection without answering
  /endless            200 without a length, the pattern for ever (until the peer closes)
  anything else       404 with the body "not found\\n"

Every built-in path takes ?delay=MS (wait before the status line), ?drip=MS and
?chunk=N (send the body N bytes at a time, MS apart), ?cut=N (announce the
whole length but send only N bytes, then close) and ?chunked=1 (send the body
with chunked transfer coding; with cut, the last chunk is cut and no end follows).

A route is an object. Matching keys, all optional: "method", "path" (without the
query), "host" (the Host header without its port). Answer keys: "status" (200),
"headers" (object or list of [name, value]), "body" (text), "body_bytes" (N pattern
bytes), "body_file" (path), "echo" (true: the request as /echo gives it),
"delay_ms", "drip_ms", "chunk", "cut_after", "chunked" (true), "endless" (true),
"hangup" (true). A route may instead
hold "responses", a list of such answers given in turn; the last one repeats.

Every request is appended to --log FILE as one JSON line with "peer" (the
client's address), "method", "path", "query", "host", "headers" (list of
[name, value]) and "body" (bytes as latin-1).
HTTPS uses --cert and --key, or a self-signed certificate made with openssl in
--workdir when they are not given; it names "kivo-test" and 127.0.0.1, so a client
that checks host names accepts it for 127.0.0.1 once it skips the chain check.
"""

import argparse
import http.server
import json
import os
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

PATTERN = bytes(i % 251 for i in range(251))


def pattern_bytes(n):
    reps = n // len(PATTERN) + 1
    return (PATTERN * reps)[:n]


class Script:
    """The routes file; a changed text replaces the routes and restarts the turns."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.text = None
        self.routes = []
        self.hits = {}

    def _reload(self):
        # Read on every request: a file rewritten within one clock tick keeps its
        # time stamp, so only the text tells that it changed.
        if not self.path:
            return
        try:
            with open(self.path, encoding="utf-8") as f:
                text = f.read()
        except OSError:
            text = "[]"
        if text == self.text:
            return
        try:
            routes = json.loads(text)
        except ValueError as e:
            sys.stderr.write("http_server: bad routes file %s: %s\n" % (self.path, e))
            return
        self.routes, self.text, self.hits = routes, text, {}

    def answer(self, method, path, host):
        with self.lock:
            self._reload()
            for index, route in enumerate(self.routes):
                if route.get("method", method) != method:
                    continue
                if route.get("path", path) != path:
                    continue
                if route.get("host", host) != host:
                    continue
                responses = route.get("responses")
                if responses is None:
                    return route
                hit = self.hits.get(index, 0)
                self.hits[index] = hit + 1
                return responses[min(hit, len(responses) - 1)]
        return None


def host_name(header):
    """The Host header without its port: "a.example:80" -> "a.example", "[::1]:80" -> "[::1]"."""
    if header.startswith("["):
        return header.split("]", 1)[0] + "]"
    return header.split(":", 1)[0]


def builtin_answer(path, query):
    q = {k: v[-1] for k, v in urllib.parse.parse_qs(query).items()}
    answer = {}
    for key, name in (("delay", "delay_ms"), ("drip", "drip_ms"), ("chunk", "chunk"),
                      ("cut", "cut_after"), ("chunked", "chunked")):
        if key in q:
            answer[name] = int(q[key])
    parts = path.strip("/").split("/")
    if parts[0] == "status" and len(parts) == 2 and parts[1].isdigit():
        answer.update(status=int(parts[1]), body="status %s\n" % parts[1])
    elif parts[0] == "bytes" and len(parts) == 2 and parts[1].isdigit():
        answer.update(status=200, body_bytes=int(parts[1]))
    elif path == "/echo":
        answer.update(status=200, echo=True)
    elif path == "/redirect" and "to" in q:
        answer.update(status=int(q.get("code", "302")), body="redirect\n",
                      headers=[["Location", q["to"]]])
    elif path == "/empty":
        answer.update(status=200, body="")
    elif path == "/hangup":
        answer.update(hangup=True)
    elif path == "/endless":
        answer.update(status=200, endless=True)
    else:
        answer.update(status=404, body="not found\n")
    return answer


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def version_string(self):
        return "kivo-test-server"

    def log_message(self, format, *args):
        if self.server.verbose:
            sys.stderr.write("http_server: " + (format % args) + "\n")

    def _read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return body
                body += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def _record(self, path, query, host, body):
        if not self.server.log_path:
            return
        line = json.dumps({
            "peer": self.client_address[0], "method": self.command, "path": path,
            "query": query, "host": host,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body.decode("latin-1"),
        })
        with self.server.log_lock, open(self.server.log_path, "a", encoding="utf-8") as f:
            f.write(line + "\n")

    def _body_of(self, answer, raw_request):
        if answer.get("echo"):
            return raw_request
        if "body_bytes" in answer:
            return pattern_bytes(int(answer["body_bytes"]))
        if "body_file" in answer:
            with open(answer["body_file"], "rb") as f:
                return f.read()
        return answer.get("body", "").encode("utf-8")

    def _serve(self):
        url = urllib.parse.urlsplit(self.path)
        host = host_name(self.headers.get("Host") or "")
        body_in = self._read_body()
        self._record(url.path, url.query, host, body_in)
        head = self.requestline + "\r\n" + "".join(
            "%s: %s\r\n" % (k, v) for k, v in self.headers.items()) + "\r\n"
        raw_request = head.encode("latin-1") + body_in

        answer = self.server.script.answer(self.command, url.path, host)
        if answer is None:
            answer = builtin_answer(url.path, url.query)
        if answer.get("delay_ms"):
            time.sleep(answer["delay_ms"] / 1000.0)
        if answer.get("hangup"):
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        body = self._body_of(answer, raw_request)
        self.send_response(int(answer.get("status", 200)))
        headers = answer.get("headers", [])
        if isinstance(headers, dict):
            headers = list(headers.items())
        names = {name.lower() for name, _ in headers}
        for name, value in headers:
            self.send_header(name, value)
        chunked = bool(answer.get("chunked"))
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif "content-length" not in names and not answer.get("endless"):
            self.send_header("Content-Length", str(len(body)))
        if "content-type" not in names:
            self.send_header("Content-Type", "text/plain")
        self.send_header("Connection", "close")
        self.close_connection = True
        self.end_headers()
        if self.command == "HEAD":
            return
        drip = answer.get("drip_ms", 0) / 1000.0
        if answer.get("endless"):
            # Until the peer closes: a client that keeps everything grows for ever.
            piece = pattern_bytes(251 * 256)
            while True:
                self.wfile.write(piece)
                if drip:
                    time.sleep(drip)
        cut = "cut_after" in answer
        if cut:
            whole = len(body)
            body = body[:int(answer["cut_after"])]
        chunk = int(answer.get("chunk") or 0) or len(body) or 1
        for offset in range(0, len(body), chunk):
            if offset and drip:
                time.sleep(drip)
            piece = body[offset:offset + chunk]
            if chunked:
                # A cut chunk still announces the size it would have had.
                size = min(chunk, whole - offset) if cut else len(piece)
                piece = b"%x\r\n" % size + piece + (b"" if len(piece) < size else b"\r\n")
            self.wfile.write(piece)
            self.wfile.flush()
        if cut:
            self.connection.shutdown(socket.SHUT_RDWR)
        elif chunked:
            self.wfile.write(b"0\r\n\r\n")

    def _guarded(self):
        try:
            self._serve()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_OPTIONS = _guarded


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, script, log_path, log_lock, verbose, tls_context):
        family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.address_family = family
        self.script, self.log_path, self.log_lock, self.verbose = script, log_path, log_lock, verbose
        self.tls_context = tls_context
        super().__init__(address, Handler)

    def server_bind(self):
        # Only the socket is bound here: the base class would look the host name up.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[0], self.server_address[1]

    def get_request(self):
        conn, addr = self.socket.accept()
        if self.tls_context is not None:
            # The handshake runs in the handler's thread, on its first read, so one
            # silent client cannot stall the accept loop.
            conn = self.tls_context.wrap_socket(conn, server_side=True,
                                                do_handshake_on_connect=False)
        return conn, addr


def self_signed(workdir):
    cert, key = os.path.join(workdir, "cert.pem"), os.path.join(workdir, "key.pem")
    if not (os.path.exists(cert) and os.path.exists(key)):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=kivo-test",
                        "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def parse_listen(text):
    url = urllib.parse.urlsplit(text)
    if url.scheme not in ("http", "https") or url.hostname is None:
        raise SystemExit("http_server: bad --listen %r (want http://ADDR:PORT)" % text)
    return url.scheme, url.hostname, url.port or 0


def main():
    ap = argparse.ArgumentParser(description="scripted loopback HTTP(S) server")
    ap.add_argument("--listen", action="append", default=[], help="http[s]://ADDR:PORT")
    ap.add_argument("--routes", default="", help="JSON routes file")
    ap.add_argument("--log", default="", help="request log file (JSON lines)")
    ap.add_argument("--cert", default="")
    ap.add_argument("--key", default="")
    ap.add_argument("--workdir", default=".", help="where a self-signed certificate is made")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()
    listeners = [parse_listen(t) for t in (args.listen or ["http://127.0.0.1:0"])]

    context = None
    if any(scheme == "https" for scheme, _, _ in listeners):
        cert, key = (args.cert, args.key) if args.cert else self_signed(args.workdir)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)

    script, log_lock = Script(args.routes), threading.Lock()
    servers = []
    for scheme, host, port in listeners:
        srv = Server((host, port), script, args.log, log_lock, args.verbose,
                     context if scheme == "https" else None)
        servers.append(srv)
        print("listening %s %s %d" % (scheme, host, srv.server_address[1]), flush=True)
    for srv in servers:
        threading.Thread(target=srv.serve_forever, daemon=True).start()
    print("ready", flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
