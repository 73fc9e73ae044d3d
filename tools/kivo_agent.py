#!/usr/bin/python3
"""kivo_agent: a reference local traffic agent for libkivotraffic.

Every process that carries libkivotraffic reports its socket byte counts to a
local agent on 127.0.0.1, trying the ports 49193 to 49202 in turn. This agent
shows the agent's side of that exchange and serves the tests and demonstrations.

For each connection it reads the report up to the closing brace of its JSON
body (the client does not close its side first), takes the content-provider
name and the two counts, prints one line and answers. The client accepts a
report only when the first 255 bytes of the answer contain "HTTP/1.1 200 ok"
(lower-case "ok"), and only within 5 seconds.

Usage:
    kivo_agent.py [PORT[:MODE] ...]

With no argument it listens on 49193 and accepts every report. MODE says how
to answer on that port:

    ok       "HTTP/1.1 200 ok" (the report is accepted; the default)
    OK       "HTTP/1.1 200 OK" (refused by the client: the status is case-sensitive)
    error    "HTTP/1.1 503 busy" (refused; the client tries the next port)
    silent   read the report and never answer (the client gives up after 5 s)
    close    close the connection at once, without reading
    hold     read the report, then answer as "ok" only when a line "reply"
             arrives on standard input (one line releases one held report)
    stuck    accept nothing, with a backlog kept full, as a hung agent's: the
             client's connect waits

Standard output, one line per event, flushed at once:

    listening PORT...
    report port=P mode=M bytes=N reply=R cp=NAME sb=S rb=R request="..."
    closed port=P mode=M bytes=N

"report" is printed when the report has been read, before the answer; bytes is
the length of the request, reply the length of the answer about to be sent
(0 when none), and request the exact text as a JSON string. "closed" is a
connection that ended without a complete report. The agent runs until it is
killed; it exits 2 when a port cannot be bound.
"""

import json
import socket
import sys
import threading

REPLIES = {
    "ok": b"HTTP/1.1 200 ok\r\nContent-Length: 0\r\n\r\n",
    "OK": b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
    "error": b"HTTP/1.1 503 busy\r\nContent-Length: 0\r\n\r\n",
    "hold": b"HTTP/1.1 200 ok\r\nContent-Length: 0\r\n\r\n",
}
MODES = ("ok", "OK", "error", "silent", "close", "hold", "stuck")
REPORT_LIMIT = 4096  # a report is at most 130 bytes; anything longer is garbage
READ_TIMEOUT = 10.0

out_lock = threading.Lock()
stuck = []  # the listeners of stuck ports and the connections that fill their backlogs
held = threading.Semaphore(0)


def say(line):
    with out_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def read_report(conn):
    """Reads up to the closing brace of the body; returns the bytes read."""
    data = b""
    conn.settimeout(READ_TIMEOUT)
    while b"}" not in data and len(data) < REPORT_LIMIT:
        try:
            chunk = conn.recv(512)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


def parse_report(data):
    """Returns (cp, sb, rb) from a complete report, or None."""
    head, sep, body = data.partition(b"\n\n")
    if not sep or not head.startswith(b"GET /api?method=traffic "):
        return None
    try:
        values = json.loads(body.decode("utf-8"))
        return str(values["cp"]), int(values["sb"]), int(values["rb"])
    except (ValueError, KeyError, TypeError, UnicodeDecodeError):
        return None


def serve(conn, port, mode):
    with conn:
        if mode == "close":
            say("closed port=%d mode=%s bytes=0" % (port, mode))
            return
        data = read_report(conn)
        report = parse_report(data)
        if report is None:
            say("closed port=%d mode=%s bytes=%d" % (port, mode, len(data)))
            return
        reply = REPLIES.get(mode, b"")
        say("report port=%d mode=%s bytes=%d reply=%d cp=%s sb=%d rb=%d request=%s"
            % (port, mode, len(data), len(reply), report[0], report[1], report[2],
               json.dumps(data.decode("utf-8", "replace"))))
        if mode == "silent":
            # Keep the connection open until the client gives up and closes.
            conn.settimeout(None)
            try:
                while conn.recv(512):
                    pass
            except OSError:
                pass
            return
        if mode == "hold":
            held.acquire()
        try:
            conn.sendall(reply)
        except OSError:
            pass


def listen(port, mode):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    if mode == "stuck":
        # Room for one connection that nobody accepts, taken at once.
        server.listen(0)
        stuck.extend([server, socket.create_connection(("127.0.0.1", port))])
        return
    server.listen(16)

    def accept_loop():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=serve, args=(conn, port, mode), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()


def release_held():
    for line in sys.stdin:
        if line.strip() == "reply":
            held.release()


def main(argv):
    listens = argv or ["49193"]
    ports = []
    for item in listens:
        port_text, _, mode = item.partition(":")
        mode = mode or "ok"
        if not port_text.isdigit() or mode not in MODES:
            sys.stderr.write("kivo_agent: bad listen item %r (PORT[:%s])\n"
                             % (item, "|".join(MODES)))
            return 2
        try:
            listen(int(port_text), mode)
        except OSError as err:
            sys.stderr.write("kivo_agent: cannot listen on 127.0.0.1:%s: %s\n"
                             % (port_text, err.strerror))
            return 2
        ports.append(port_text)
    say("listening " + " ".join(ports))
    if any(item.endswith(":hold") for item in listens):
        release_held()
    threading.Event().wait()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(0)
