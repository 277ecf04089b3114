#!/usr/bin/env python3
"""The update server of the tests: HTTPS on 127.0.0.1 only, Python's standard
library only.

One process opens several TLS listeners that share one document tree, one tree
of fault files and one request log:

  ca          the localhost certificate signed by the test CA (the normal path)
  self        a self-signed localhost certificate (for pinning)
  expired     a localhost certificate of the test CA that has expired
  other       a self-signed localhost certificate with the same name as
              "self" but another key (a pin mismatch)
  clientcert  the CA-signed certificate, and the client must present a
              certificate of the test CA
  proxy       plain HTTP, answering only CONNECT to one of the listeners above
              (a proxy for the client's proxy setting; never anywhere else)

Documents are served byte for byte from --www (never compressed). "Range:
bytes=N-" is answered with 206 and Content-Range. A POST is answered with its
own body. Every request adds one line to the log before it is answered:

  listener TAB method TAB path TAB Range TAB Accept-Encoding TAB User-Agent
  TAB Content-Type TAB request body length          ("-" for a missing header)

Fault modes: for a request path /a/b the file --faults/a/b, when present, is
read at each request; each line is "key value":

  status N        answer with status N (the file's bytes as the body, or a
                  short text when there is no file); a Range header is ignored
  location URL    send this Location header ("{port}" is this listener's port,
                  "{port:NAME}" the port of listener NAME); status defaults to 302
  length N|none   announce N as Content-Length, or send none (and close)
  cut N           send only the first N bytes of the body, then close
  stall S         wait S seconds (a decimal) before the status line
  stall_at N S    after N bytes of the body, wait S seconds, then go on
  rate B          send the body (after a stall_at pause) at about B bytes a
                  second, in pieces of at most 16384 bytes: a slow line

When all listeners are bound, "key=value" lines (pid, each listener's port)
are written to --env atomically. The process ends on SIGTERM or SIGINT, or by
itself after --idle-exit seconds without a request (so that a run that never
reached its clean-up step leaves no server behind).
"""

import argparse
import http.server
import os
import select
import signal
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

LOOPBACK = "127.0.0.1"


class State:
    """What every listener shares: paths, ports, the log and the idle clock."""

    def __init__(self, www, faults, log_path):
        self.www = os.path.realpath(www)
        self.faults = os.path.realpath(faults)
        self.log_path = log_path
        self.ports = {}
        self.lock = threading.Lock()
        self.last_request = time.monotonic()

    def log(self, fields):
        line = "\t".join(f if f else "-" for f in fields) + "\n"
        with self.lock:
            self.last_request = time.monotonic()
            with open(self.log_path, "a", encoding="utf-8", errors="replace") as f:
                f.write(line)


def inside(root, rel):
    """The file below root for a request path, or None when it would leave root."""
    p = os.path.realpath(os.path.join(root, rel))
    if p != root and not p.startswith(root + os.sep):
        return None
    return p


def read_faults(path):
    faults = {}
    if path is None or not os.path.isfile(path):
        return faults
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.split(None, 1)
            if parts:
                faults[parts[0]] = parts[1].strip() if len(parts) > 1 else ""
    return faults


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def version_string(self):
        return "orv-test-update-server"

    def log_message(self, fmt, *args):
        pass  # the request log below is the record; stderr stays quiet

    def log_error(self, fmt, *args):
        sys.stderr.write("%s: %s\n" % (self.server.name, fmt % args))

    def do_GET(self):
        self.answer(b"")

    def do_CONNECT(self):
        srv = self.server
        srv.state.log([srv.name, "CONNECT", self.path, "-", "-", self.headers.get("User-Agent"),
                       "-", "0"])
        host, _, port = self.path.rpartition(":")
        if srv.name != "proxy" or host not in ("localhost", LOOPBACK) or \
                not port.isdigit() or int(port) not in srv.state.ports.values():
            self.send_error(403)
            return
        try:
            upstream = socket.create_connection((LOOPBACK, int(port)), timeout=30)
        except OSError:
            self.send_error(502)
            return
        self.send_response(200, "Connection established")
        self.end_headers()
        self.close_connection = True
        tunnel(self.connection, upstream)

    def do_POST(self):
        n = int(self.headers.get("Content-Length") or 0)
        self.answer(self.rfile.read(n) if n > 0 else b"")

    def answer(self, posted):
        srv = self.server
        state = srv.state
        h = self.headers
        state.log([srv.name, self.command, self.path, h.get("Range"), h.get("Accept-Encoding"),
                   h.get("User-Agent"), h.get("Content-Type"), str(len(posted))])
        if srv.name == "proxy":
            self.send_error(405)
            return

        rel = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).lstrip("/")
        doc = inside(state.www, rel)
        faults = read_faults(inside(state.faults, rel) if rel else None)

        if "stall" in faults:
            time.sleep(float(faults["stall"]))

        body = None
        if self.command == "POST":
            body = posted
        elif doc is not None and os.path.isfile(doc):
            with open(doc, "rb") as f:
                body = f.read()

        status = 200
        extra = []
        if "status" in faults:
            status = int(faults["status"])
        elif "location" in faults:
            status = 302
        if "location" in faults:
            loc = faults["location"].replace("{port}", str(srv.server_address[1]))
            for name, port in state.ports.items():
                loc = loc.replace("{port:%s}" % name, str(port))
            extra.append(("Location", loc))

        if body is None:
            if status == 200:
                status, body = 404, b"not found\n"
            else:
                body = ("status %d\n" % status).encode()
        elif status == 200 and "status" not in faults:
            start = parse_range(h.get("Range"))
            if start is not None:
                if start >= len(body):
                    status = 416
                    extra.append(("Content-Range", "bytes */%d" % len(body)))
                    body = b""
                else:
                    status = 206
                    extra.append(("Content-Range",
                                  "bytes %d-%d/%d" % (start, len(body) - 1, len(body))))
                    body = body[start:]

        length = faults.get("length")
        # Only the normal listener keeps connections open: Wine's WinHTTP pools
        # connections process-wide and reuses one that was opened with relaxed
        # certificate checks (a pinned request) without checking again.
        close = srv.name != "ca" or "cut" in faults or length is not None
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if length != "none":
            self.send_header("Content-Length", length if length is not None else str(len(body)))
        for k, v in extra:
            self.send_header(k, v)
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()

        if "cut" in faults:
            body = body[:int(faults["cut"])]
        pause_at, pause = None, 0.0
        if "stall_at" in faults:
            a, b = faults["stall_at"].split()
            pause_at, pause = int(a), float(b)
        try:
            if pause_at is not None and pause_at < len(body):
                self.wfile.write(body[:pause_at])
                self.wfile.flush()
                time.sleep(pause)
                body = body[pause_at:]
            rate = float(faults["rate"]) if "rate" in faults else 0.0
            piece = 16384 if rate > 0 else max(len(body), 1)
            for at in range(0, len(body), piece):
                self.wfile.write(body[at:at + piece])
                self.wfile.flush()
                if rate > 0:
                    time.sleep(min(piece, len(body) - at) / rate)
        except OSError:
            self.close_connection = True


def tunnel(a, b):
    """Copies bytes both ways until either side closes."""
    socks = [a, b]
    try:
        while True:
            ready, _, _ = select.select(socks, [], [], 30)
            if not ready:
                return
            for s in ready:
                data = s.recv(65536)
                if not data:
                    return
                (b if s is a else a).sendall(data)
    except OSError:
        pass
    finally:
        b.close()


def parse_range(value):
    """N of "bytes=N-", the only form this server offers; None otherwise."""
    if not value or not value.startswith("bytes=") or not value.endswith("-"):
        return None
    digits = value[6:-1]
    return int(digits) if digits.isdigit() else None


class Listener(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, name, ctx, state, port):
        self.name = name
        self.ctx = ctx
        self.state = state
        super().__init__((LOOPBACK, port), Handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the request's own thread, so that a client that
        # never finishes it holds up nobody else.
        request.settimeout(30)
        if self.ctx is None:
            self.RequestHandlerClass(request, client_address, self)
            return
        try:
            tls = self.ctx.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.state.log([self.name, "TLS-FAIL", "-", type(e).__name__, "-", "-", "-", "0"])
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        except (ssl.SSLError, OSError):
            pass
        finally:
            try:
                tls.close()
            except OSError:
                pass


def tls_context(certs, name, client_ca=False):
    if name is None:
        return None
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(os.path.join(certs, name + ".pem"), os.path.join(certs, name + ".key"))
    if client_ca:
        ctx.verify_mode = ssl.CERT_REQUIRED
        ctx.load_verify_locations(os.path.join(certs, "ca.pem"))
    return ctx


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--certs", required=True)
    ap.add_argument("--www", required=True)
    ap.add_argument("--faults", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--env", required=True)
    ap.add_argument("--port", type=int, default=0, help="fixed port of the ca listener")
    ap.add_argument("--idle-exit", type=float, default=900.0)
    a = ap.parse_args()

    state = State(a.www, a.faults, a.log)
    plan = [("ca", "srv", False), ("self", "self", False), ("expired", "expired", False),
            ("other", "other", False), ("clientcert", "srv", True), ("proxy", None, False)]
    listeners = []
    for name, cert, client_ca in plan:
        port = a.port if name == "ca" else 0
        try:
            lst = Listener(name, tls_context(a.certs, cert, client_ca), state, port)
        except OSError as e:
            if port:
                sys.stderr.write("update_server: port %d on %s is taken (%s)\n"
                                 % (port, LOOPBACK, e.strerror))
                return 3
            raise
        state.ports[name] = lst.server_address[1]
        listeners.append(lst)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    for lst in listeners:
        threading.Thread(target=lst.serve_forever, kwargs={"poll_interval": 0.2},
                         daemon=True).start()

    tmp = a.env + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("pid=%d\n" % os.getpid())
        for name, port in state.ports.items():
            f.write("%s=%d\n" % (name, port))
    os.replace(tmp, a.env)

    while not stop.wait(0.5):
        if time.monotonic() - state.last_request > a.idle_exit:
            sys.stderr.write("update_server: no request for %.0f s, ending\n" % a.idle_exit)
            break
    # Every thread is a daemon: leaving main closes the listeners at once,
    # stalled answers included.
    return 0


if __name__ == "__main__":
    sys.exit(main())
