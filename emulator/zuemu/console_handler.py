"""The console emulator's HTTP/1.1 handler: reads each request, answers the
control API, resolves the route, journals the request, checks its session,
applies the faults of its kind and writes the handler's reply."""

import socket
import ssl
import struct
import sys
import traceback
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import control_api
from .console_faults import GENERIC_FAULTS, REPLY_FAULTS, ConsoleFaults
from .exchange import (SERVER_VERSION, AbortConnection, HttpError, Request,
                       Response, log)
from .handlers import flush_before_close
from .strays import StrayQueue

# Larger request bodies are refused (413) and the connection closed.
MAX_BODY = 256 * 1024 * 1024
# Idle keep-alive connections are closed after this many seconds.
IDLE_TIMEOUT = 120


class ConsoleServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def handle_error(self, request, client_address):
        # Clients that vanish mid-request are routine in fault tests.
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, ssl.SSLError, socket.timeout, OSError)):
            return
        super().handle_error(request, client_address)


class ConsoleHandler(ConsoleFaults, BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = SERVER_VERSION
    sys_version = ""
    timeout = IDLE_TIMEOUT

    def setup(self):
        # Stray replies queued on this connection.
        self._strays = StrayQueue(self, self.server.emu.strays)
        super().setup()
        self.emu = self.server.emu
        self.connection_id = self.emu.next_connection_id()
        try:
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass
        if isinstance(self.connection, ssl.SSLSocket):
            self.connection.settimeout(30)
            self.connection.do_handshake()
            self.connection.settimeout(self.timeout)

    def finish(self):
        try:
            super().finish()
        finally:
            self._strays.drop_all()

    def handle_one_request(self):
        if self._strays.send_when_idle():
            return
        super().handle_one_request()

    def version_string(self):
        return self.server_version

    def log_message(self, fmt, *args):
        if self.emu.verbose:
            log("%s %s", self.address_string(), fmt % args)

    # Every method goes through the same dispatcher.
    def do_GET(self):
        self._dispatch()

    do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_OPTIONS = do_GET

    # --- request reading ---------------------------------------------------

    def _read_body(self):
        te = (self.headers.get("Transfer-Encoding") or "").strip().lower()
        if te and te != "identity":
            if te != "chunked":
                raise HttpError(501, "Transfer-Encoding %s not supported" % te)
            return self._read_chunked()
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        try:
            n = int(length)
        except ValueError:
            raise HttpError(400, "bad Content-Length") from None
        if n < 0:
            raise HttpError(400, "bad Content-Length")
        if n > MAX_BODY:
            raise HttpError(413, "request body too large")
        return self._read_exact(n)

    def _read_exact(self, n):
        data = self.rfile.read(n)
        if len(data) != n:
            raise AbortConnection("client closed while sending the body")
        return data

    def _read_chunked(self):
        parts, total = [], 0
        while True:
            line = self.rfile.readline(1024)
            if not line:
                raise AbortConnection("client closed inside a chunked body")
            try:
                size = int(line.split(b";", 1)[0].strip(), 16)
            except ValueError:
                raise HttpError(400, "bad chunk size") from None
            if size == 0:
                # Trailers up to the empty line.
                while True:
                    t = self.rfile.readline(8192)
                    if t in (b"\r\n", b"\n", b""):
                        return b"".join(parts)
            total += size
            if total > MAX_BODY:
                raise HttpError(413, "request body too large")
            parts.append(self._read_exact(size))
            self._read_exact(2)

    # --- reply writing ------------------------------------------------------

    def _send(self, resp, entry=None, extra=b""):
        """Writes `resp`, and `extra` (raw bytes) in the same write.
        Recorded before the reply leaves: a client that reads the journal
        right after the reply must find the status there."""
        if entry is not None:
            with self.emu.lock:
                entry["status"] = resp.status
        self.send_response(resp.status)
        self.send_header("Content-Type", resp.content_type)
        self.send_header("Content-Length", str(len(resp.body)))
        for k, v in resp.headers:
            self.send_header(k, v)
        if self.close_connection:
            self.send_header("Connection", "close")
        # Head and body leave in one write: two small segments would meet
        # Nagle's algorithm and the peer's delayed ACK (40 ms per reply).
        self._headers_buffer.append(b"\r\n")
        if self.command != "HEAD":
            self._headers_buffer.append(resp.body)
        if extra:
            self._headers_buffer.append(extra)
        self.flush_headers()
        self.wfile.flush()

    def _drop(self, rst):
        """Closes the connection without a (further) reply."""
        flush_before_close(self)
        try:
            if rst:
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           struct.pack("ii", 1, 0))
            sock = self.connection
            if isinstance(sock, ssl.SSLSocket):
                # No close_notify: the peer sees the TCP connection end.
                sock = socket.socket(fileno=sock.detach())
                self.connection = sock
            sock.close()
        except OSError:
            pass

    # --- dispatch -------------------------------------------------------------

    def _dispatch(self):
        emu = self.emu
        target = self.path
        if "://" in target.split("?", 1)[0]:
            target = urllib.parse.urlsplit(target)._replace(scheme="", netloc="").geturl()
        full_path, _, raw_query = target.partition("?")
        headers = list(self.headers.items())
        try:
            body = self._read_body()
        except HttpError as exc:
            self.close_connection = True
            self._send(Response(exc.status, exc.text, "text/plain"))
            return
        except AbortConnection:
            self.close_connection = True
            return

        if full_path.startswith("/_emu/") and self.server.listener == "console":
            self._send(control_api.answer(emu, self.command, full_path, raw_query, body))
            return

        req = Request(self.command, full_path, full_path, raw_query, headers, body,
                      self.server.listener)
        route, match, rel, other_method = emu.resolve(self.command, full_path)
        req.path = rel
        if route is None:
            entry = emu.journal_add("unknown", req, self.connection_id)
            status = 405 if other_method else 404
            self._send(Response(status, "no such endpoint: %s %s" % (self.command, full_path),
                                "text/plain"), entry)
            return

        try:
            kind = route.kind_for(req)
        except Exception:  # a kind classifier must never kill the connection
            traceback.print_exc()
            kind = "unknown"
        entry = emu.journal_add(kind, req, self.connection_id)
        req.token_user = emu.user_for_token(req.header("Authtoken"))
        if route.needs_auth and req.token_user is None:
            self._send(Response(401, "missing or invalid Authtoken", "text/plain"), entry)
            return

        fault = emu.take_fault(kind)
        reply_fault = None
        if fault is not None:
            entry["fault"] = fault.get("fault")
            if fault.get("fault") in GENERIC_FAULTS:
                self._generic_fault(fault, entry)
                return
            if fault.get("fault") in REPLY_FAULTS:
                reply_fault = fault
            else:
                req.fault = fault

        try:
            resp = route.handler(emu, req, match)
        except Exception as exc:
            traceback.print_exc()
            resp = Response(500, "emulator handler error: %s" % exc, "text/plain")
        if reply_fault is None:
            self._send(resp, entry)
        else:
            self._spoil_reply(reply_fault, req, resp, entry)
