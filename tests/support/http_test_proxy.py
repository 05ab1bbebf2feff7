#!/usr/bin/env python3
"""A small HTTP proxy for the gateway tests.

Listens on 127.0.0.1 (port chosen by the system) and prints "READY <port>"
once it accepts connections. It serves

  CONNECT host:port        a tunnel (https through the proxy);
  GET/POST/PUT http://...  forwarded to the origin (plain http through the
                           proxy), one request per connection to the origin,
                           the reply relayed whole;
  GET /stats               (origin form, to the proxy itself) JSON: the
                           tunnels and forwarded requests so far and every
                           Proxy-Authorization value received.
"""

import json
import select
import socket
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

_lock = threading.Lock()
_stats = {"tunnels": 0, "forwarded": 0, "authorization": []}


def _note(kind, headers):
    with _lock:
        _stats[kind] += 1
        auth = headers.get("Proxy-Authorization")
        if auth is not None:
            _stats["authorization"].append(auth)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_CONNECT(self):
        _note("tunnels", self.headers)
        host, _, port = self.path.rpartition(":")
        try:
            upstream = socket.create_connection((host, int(port)), timeout=10)
        except OSError:
            self.send_error(502)
            return
        self.send_response(200, "Connection established")
        self.end_headers()
        self.wfile.flush()
        self.close_connection = True
        sockets = [self.connection, upstream]
        try:
            while True:
                readable, _, _ = select.select(sockets, [], [], 30)
                if not readable:
                    return
                for sock in readable:
                    data = sock.recv(65536)
                    if not data:
                        return
                    (upstream if sock is self.connection else self.connection).sendall(data)
        except OSError:
            return
        finally:
            upstream.close()

    def _forward(self):
        if not self.path.startswith("http://"):
            body = json.dumps(_stats).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        _note("forwarded", self.headers)
        target = urllib.parse.urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        lines = ["%s %s HTTP/1.1" % (self.command, target.path + (
            "?" + target.query if target.query else ""))]
        for name, value in self.headers.items():
            if name.lower() not in ("proxy-authorization", "proxy-connection", "connection"):
                lines.append("%s: %s" % (name, value))
        lines.append("Connection: close")
        request = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body
        try:
            with socket.create_connection((target.hostname, target.port or 80),
                                          timeout=30) as upstream:
                upstream.sendall(request)
                reply = b""
                while True:
                    data = upstream.recv(65536)
                    if not data:
                        break
                    reply += data
        except OSError:
            self.send_error(502)
            return
        self.close_connection = True
        self.wfile.write(reply)

    do_GET = do_POST = do_PUT = _forward


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print("READY %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
