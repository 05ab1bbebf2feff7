#!/usr/bin/env python3
"""Local HTTP/HTTPS server for the gateway tests.

Listens on 127.0.0.1 (port chosen by the system) and prints "READY <port>"
on standard output once it accepts connections.

With --tls-dir DIR it serves HTTPS: it makes a throw-away CA (DIR/ca.pem) and
a server certificate signed by it with the openssl command line; --san sets
the certificate's subjectAltName (default IP:127.0.0.1,DNS:localhost).

Paths (any method):
  /echo          200, JSON describing the request: method, body length and
                 SHA-256, Content-Length / Expect / Transfer-Encoding headers,
                 all headers in arrival order, and the connection id (one
                 number per accepted connection, counting from 1). With
                 "idle_close" in the query the server closes the connection
                 after 0.1 s without a further request.
  /status/<n>    status n with the body "body of status <n>"; the query's
                 Retry-After and x-ms-error-code become reply headers.
  /redirect      302 to /echo.
  /stall         promises 100000 bytes, sends 1, then goes silent (at most
                 30 s).
  /endless       200 without a length, streams data until the client goes
                 away (at most 512 MiB).
  /trickle       promises 100000 bytes and sends 2 bytes a second, fast
                 enough for any stall guard (for at most 30 s).
  /count         200, the number of requests read so far (this one
                 included) as decimal text.
  /lose          reads the request (it counts), then closes the connection
                 without a byte of reply, as a server whose reply is lost.
  /reset         reads the request (it counts), then resets the connection
                 (RST) without a byte of reply.
  /reset_early   counts the request and resets the connection as soon as its
                 head arrived, while the client may still be sending the
                 body.
  /echo?stray_now, /echo?stray_late
                 the echo, then a second reply nobody asked for ("200 OK",
                 body "stray"), at once or 0.1 s later; the connection stays
                 open.
"""

import argparse
import hashlib
import http.server
import itertools
import json
import os
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "emulator"))
from zuemu.certificates import DEFAULT_SAN, make_certificates  # noqa: E402

_conn_ids = itertools.count(1)
_conn_lock = threading.Lock()
_request_count = 0


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        with _conn_lock:
            self.conn_id = next(_conn_ids)
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(10)
            try:
                self.request.do_handshake()
            except (ssl.SSLError, OSError):
                # The client refused the certificate: nothing to serve.
                self.handshake_failed = True
            else:
                self.handshake_failed = False
            self.request.settimeout(None)
        else:
            self.handshake_failed = False
        super().setup()

    def handle(self):
        if self.handshake_failed:
            return
        try:
            super().handle()
        except (ConnectionError, ssl.SSLError, TimeoutError):
            pass

    def log_message(self, fmt, *args):
        pass

    def read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            body = bytearray()
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(body)
                body += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def reset(self):
        """Ends the connection with a TCP reset, no reply byte sent."""
        self.close_connection = True
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()

    def reply(self, status, body, content_type="text/plain"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def dispatch(self):
        global _request_count
        with _conn_lock:
            _request_count += 1
            count = _request_count
        path = self.path.split("?", 1)[0]
        if path == "/reset_early":
            self.reset()
            return
        body = self.read_body()
        if path == "/echo":
            info = {
                "conn": self.conn_id,
                "method": self.command,
                "length": len(body),
                "sha256": hashlib.sha256(body).hexdigest(),
                "content_length": self.headers.get("Content-Length"),
                "expect": self.headers.get("Expect"),
                "transfer_encoding": self.headers.get("Transfer-Encoding"),
                "headers": [[k, v] for k, v in self.headers.items()],
            }
            self.reply(200, json.dumps(info).encode(), "application/json")
            if "stray_" in self.path:
                if "stray_late" in self.path:
                    self.wfile.flush()
                    time.sleep(0.1)
                self.reply(200, b"stray")
            if "idle_close" in self.path:
                # Like a server with a short keep-alive time-out: the
                # connection closes once it has been idle for 0.1 s.
                self.connection.settimeout(0.1)
        elif path.startswith("/status/"):
            code = int(path[len("/status/"):])
            query = dict(urllib.parse.parse_qsl(self.path.partition("?")[2]))
            self.send_response(code)
            for name in ("Retry-After", "x-ms-error-code"):
                if name in query:
                    self.send_header(name, query[name])
            body = b"body of status %d" % code
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif path == "/redirect":
            self.send_response(302)
            self.send_header("Location", "/echo")
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif path == "/stall":
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            self.wfile.write(b"0")
            self.wfile.flush()
            time.sleep(30)
            self.close_connection = True
        elif path == "/reset":
            self.reset()
        elif path == "/lose":
            self.close_connection = True
            self.connection.shutdown(2)
        elif path == "/count":
            self.reply(200, str(count).encode())
        elif path == "/trickle":
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            for _ in range(30):
                self.wfile.write(b"ab")
                self.wfile.flush()
                time.sleep(1)
            self.close_connection = True
        elif path == "/endless":
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            block = b"x" * 65536
            for _ in range(512 * 16):
                self.wfile.write(block)
            self.close_connection = True
        else:
            self.reply(404, b"no such path")

    do_GET = do_POST = do_PUT = dispatch


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tls-dir")
    parser.add_argument("--san", default=DEFAULT_SAN)
    args = parser.parse_args()

    server = Server(("127.0.0.1", 0), Handler)
    if args.tls_dir:
        cert, key = make_certificates(args.tls_dir, args.san)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
    print("READY %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
