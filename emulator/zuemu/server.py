"""HTTP/1.1 core of the web console emulator.

One Emulator object owns the shared state (sessions, journal, pending faults,
stored files, module state) and two listeners with the same handler set: the
console listener and the upload listener (the set-up workflow hands out the
upload listener as "uploadURL", so tests can see that the client honours it).

Threading: every accepted connection is served by its own daemon thread
(ThreadingHTTPServer). All shared state is guarded by `emu.lock` (an RLock,
so handlers may call helpers that lock again). Handlers run without the lock
held and take it around the state they touch.

Plug-in interface: modules expose `routes(emu) -> list[Route]`. A Route's
regex is matched (fullmatch) against the path below the prefix, or against
the full path for patterns under "/azfunc". The core issues 401 for routes
that need a session token, applies the generic faults of the request kind
and hands any other fault to the handler in `req.fault`.

Two faults let the handler run and then spoil the reply: "lost_reply"
closes the connection before the first byte of it (the request's effects
stay), "extra_reply" sends it followed by a second, complete reply nobody
asked for: at once (in the same write) with "delay" 0, else once the
connection has been idle for "delay" seconds (a request that comes first
is served normally, and the stray waits for the next idle spell). See
stray_reply() for what the stray says.
"""

import base64
import binascii
import hashlib
import json
import re
import secrets
import socket
import ssl
import struct
import sys
import threading
import time
import traceback
import urllib.parse
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import messages
from .strays import StrayCounts, StrayQueue

# Faults the core applies itself; every other fault goes to the handler.
GENERIC_FAULTS = ("status", "reset", "stall", "garbage", "empty", "truncated")
# Faults the core applies to the reply of a request the handler carried out.
REPLY_FAULTS = ("lost_reply", "extra_reply")
# Kinds whose faults belong to the storage proxy.
PROXY_FAULT_KINDS = ("put_block", "put_block_list", "get_block_list", "put_blob")
# Bodies up to this size are kept as text in the journal.
JOURNAL_BODY_LIMIT = 4096
# Larger request bodies are refused (413) and the connection closed.
MAX_BODY = 256 * 1024 * 1024
# Idle keep-alive connections are closed after this many seconds.
IDLE_TIMEOUT = 120

GARBAGE_BODY = b"%%% this is neither XML nor JSON {[<\x01\xff"


def log(fmt, *args):
    sys.stderr.write("zuemu: " + (fmt % args if args else fmt) + "\n")
    sys.stderr.flush()


class Request:
    """One parsed request as handlers see it."""

    def __init__(self, method, full_path, path, raw_query, headers, body, listener):
        self.method = method
        self.full_path = full_path
        self.path = path
        self.raw_query = raw_query
        self.query = dict(urllib.parse.parse_qsl(raw_query, keep_blank_values=True))
        self.headers = headers
        self.body = body
        self.listener = listener
        self.token_user = None
        self.fault = None

    def header(self, name):
        """Value of the first header called `name` (any case), or None."""
        low = name.lower()
        for k, v in self.headers:
            if k.lower() == low:
                return v
        return None


class Response:
    def __init__(self, status=200, body=b"", content_type="application/xml", headers=None):
        self.status = int(status)
        self.body = body.encode("utf-8") if isinstance(body, str) else bytes(body)
        self.content_type = content_type
        self.headers = list(headers or [])


class Route:
    """`kind` is the request kind for journal and faults: a string, or a
    callable(req) -> str for endpoints whose kind depends on query or body."""

    def __init__(self, method, pattern, kind, handler, needs_auth=True):
        self.method = method.upper()
        self.pattern = pattern
        self.regex = re.compile(pattern)
        self.kind = kind
        self.handler = handler
        self.needs_auth = needs_auth

    def kind_for(self, req):
        return self.kind(req) if callable(self.kind) else self.kind


def json_response(obj, status=200):
    return Response(status, json.dumps(obj, default=json_default), "application/json")


def json_default(obj):
    """JSON for module state: objects may offer to_json(); bytes go base64."""
    if hasattr(obj, "to_json"):
        return obj.to_json()
    if isinstance(obj, (bytes, bytearray)):
        return base64.b64encode(bytes(obj)).decode("ascii")
    if isinstance(obj, (set, tuple)):
        return list(obj)
    return str(obj)


class _AbortConnection(Exception):
    """Raised to drop the connection without (a complete) reply."""


def stray_reply(fault, req, resp, date):
    """The whole reply "extra_reply" sends after the real one: the fault's
    "status" (default 200) and "body", by default an UploadFileResp that
    claims an upload complete (the request's requestId, or the one of the
    reply it follows; the request's FileSize as chunkOffset; a fileGUID of
    no stored file). Read in place of a chunk's reply it passes for the end
    of the file; any other reader refuses it."""
    status = int(fault.get("status", 200))
    body = fault.get("body")
    if body is None:
        request_id = req.query.get("requestId")
        if request_id is None:
            try:
                request_id = messages.parse_upload_file_resp(resp.body)["requestId"]
            except messages.XmlError:
                request_id = ""
        size = (req.header("FileSize") or "").strip()
        body = messages.upload_file_resp(request_id=request_id, file_guid=str(uuid.uuid4()),
                                         chunk_offset=int(size) if size.isdigit() else 0)
    body = body.encode("utf-8") if isinstance(body, str) else bytes(body)
    reason = BaseHTTPRequestHandler.responses.get(status, ("",))[0]
    head = ("HTTP/1.1 %d %s\r\nServer: %s\r\nDate: %s\r\nContent-Type: application/xml\r\n"
            "Content-Length: %d\r\n\r\n" % (status, reason, _Handler.server_version, date,
                                             len(body)))
    return head.encode("latin-1") + body


class Emulator:
    def __init__(self, accounts, prefix="/webconsole", tls_context=None, verbose=False):
        self.lock = threading.RLock()
        self.accounts = dict(accounts)  # user -> clear password
        self.prefix = prefix.rstrip("/")
        self.tls_context = tls_context
        self.verbose = verbose
        self.scheme = "https" if tls_context else "http"
        self.routes = []
        self.console_base = None
        self.upload_base = None
        self.storage = None
        self.proxy = None
        self.proxy_base = None
        self.completions = []
        self.config = {}
        self.state = {}
        self.files = []
        # State that survives reset(): issued sessions and, per module, what
        # a client may still legitimately refer to (e.g. share ids).
        self.tokens = {}
        self.durable = {}
        self.journal = []
        self.faults = {}  # kind -> list of [fault dict, remaining (-1: unlimited)]
        # Replies of "extra_reply" waiting on live connections for an idle
        # spell, and those sent or dropped (the client closed first) since
        # the last reset.
        self.strays = StrayCounts(self.lock)
        self._seq = 0
        self._conn_seq = 0
        self._servers = []
        self._threads = []
        self.stopping = threading.Event()
        self.routes.extend(_core_routes(self))

    # --- set-up and lifecycle ---------------------------------------------

    def add_routes(self, routes):
        with self.lock:
            self.routes.extend(routes)

    def start(self, host="127.0.0.1", console_port=0, upload_port=0):
        """Starts both listeners; returns (console port, upload port)."""
        ports = []
        for name, port in (("console", console_port), ("upload", upload_port)):
            srv = _Server((host, port), _Handler)
            srv.emu = self
            srv.listener = name
            if self.tls_context is not None:
                # The handshake runs in the connection's thread (see
                # _Handler.setup), so a silent client cannot block accept().
                srv.socket = self.tls_context.wrap_socket(
                    srv.socket, server_side=True, do_handshake_on_connect=False)
            # A short poll interval keeps shutdown() quick on SIGTERM.
            t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05},
                                 name="zuemu-" + name, daemon=True)
            t.start()
            self._servers.append(srv)
            self._threads.append(t)
            ports.append(srv.server_address[1])
        self.console_base = "%s://127.0.0.1:%d" % (self.scheme, ports[0])
        self.upload_base = "%s://127.0.0.1:%d" % (self.scheme, ports[1])
        return ports[0], ports[1]

    def stop(self):
        self.stopping.set()
        for srv in self._servers:
            srv.shutdown()
            srv.server_close()
        self._servers = []

    def reset(self):
        with self.lock:
            self.journal.clear()
            self.faults.clear()
            self.files.clear()
            self.completions.clear()
            self.state.clear()
            self.config.clear()
            self._seq = 0
            self.strays.forget_ended()
        if self.proxy is not None:
            self.proxy.reset_stats()
            if hasattr(self.proxy, "clear_faults"):
                self.proxy.clear_faults()

    # --- sessions -----------------------------------------------------------

    def issue_token(self, user):
        token = secrets.token_hex(16)
        with self.lock:
            self.tokens[token] = user
        return token

    def user_for_token(self, token):
        if not token:
            return None
        with self.lock:
            return self.tokens.get(token)

    def check_password(self, user, password_b64):
        """True when `password_b64` is the Base64 form of the user's password."""
        with self.lock:
            expected = self.accounts.get(user)
        if expected is None:
            return False
        try:
            given = base64.b64decode(password_b64.strip(), validate=True)
        except (binascii.Error, ValueError):
            return False
        return secrets.compare_digest(given, expected.encode("utf-8"))

    # --- faults -------------------------------------------------------------

    def add_fault(self, kind, fault):
        """Queues `fault` for the next fault["count"] requests of `kind`
        (default 1; a count of 0 or less means every request until reset)."""
        fault = dict(fault)
        count = int(fault.pop("count", 1))
        fault.pop("kind", None)
        if "fault" not in fault:
            raise ValueError("a fault needs a \"fault\" member")
        with self.lock:
            self.faults.setdefault(kind, []).append([fault, count if count > 0 else -1])

    def take_fault(self, kind):
        """The fault for the next request of `kind`, consuming one use."""
        with self.lock:
            queue = self.faults.get(kind)
            if not queue:
                return None
            entry = queue[0]
            if entry[1] > 0:
                entry[1] -= 1
                if entry[1] == 0:
                    queue.pop(0)
                    if not queue:
                        del self.faults[kind]
            return dict(entry[0])

    def pending_faults(self):
        with self.lock:
            return {k: [dict(f, count=c) for f, c in q] for k, q in self.faults.items()}

    # --- journal ------------------------------------------------------------

    def journal_add(self, kind, req, connection):
        body = req.body
        text = None
        if len(body) <= JOURNAL_BODY_LIMIT:
            try:
                text = body.decode("utf-8")
            except UnicodeDecodeError:
                text = None
        entry = {
            "kind": kind,
            "method": req.method,
            "path": req.full_path,
            "query": req.raw_query,
            "headers": [[k, v] for k, v in req.headers],
            "body_len": len(body),
            "body_sha256": hashlib.sha256(body).hexdigest(),
            "body": text,
            "connection": connection,
            "listener": req.listener,
            "status": None,
            "time": time.time(),
        }
        with self.lock:
            self._seq += 1
            entry["seq"] = self._seq
            self.journal.append(entry)
        return entry

    def journal_entries(self, kind=None):
        with self.lock:
            return [dict(e) for e in self.journal if kind is None or e["kind"] == kind]

    def next_connection_id(self):
        with self.lock:
            self._conn_seq += 1
            return self._conn_seq

    # --- routing ------------------------------------------------------------

    def resolve(self, method, full_path):
        """-> (route or None, match, path below prefix, path matched somewhere
        with another method)."""
        if full_path == "/azfunc" or full_path.startswith("/azfunc/"):
            rel, azfunc = full_path, True
        elif self.prefix == "" or full_path.startswith(self.prefix + "/"):
            rel, azfunc = full_path[len(self.prefix):], False
        else:
            return None, None, full_path, False
        other_method = False
        with self.lock:
            routes = list(self.routes)
        for route in routes:
            if route.pattern.startswith("/azfunc") != azfunc:
                continue
            m = route.regex.fullmatch(rel)
            if m is None:
                continue
            if route.method != method:
                other_method = True
                continue
            return route, m, rel, False
        return None, None, rel, other_method


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def handle_error(self, request, client_address):
        # Clients that vanish mid-request are routine in fault tests.
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, ssl.SSLError, socket.timeout, OSError)):
            return
        super().handle_error(request, client_address)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "zuemu/1.0"
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
                raise _HttpError(501, "Transfer-Encoding %s not supported" % te)
            return self._read_chunked()
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        try:
            n = int(length)
        except ValueError:
            raise _HttpError(400, "bad Content-Length") from None
        if n < 0:
            raise _HttpError(400, "bad Content-Length")
        if n > MAX_BODY:
            raise _HttpError(413, "request body too large")
        return self._read_exact(n)

    def _read_exact(self, n):
        data = self.rfile.read(n)
        if len(data) != n:
            raise _AbortConnection("client closed while sending the body")
        return data

    def _read_chunked(self):
        parts, total = [], 0
        while True:
            line = self.rfile.readline(1024)
            if not line:
                raise _AbortConnection("client closed inside a chunked body")
            try:
                size = int(line.split(b";", 1)[0].strip(), 16)
            except ValueError:
                raise _HttpError(400, "bad chunk size") from None
            if size == 0:
                # Trailers up to the empty line.
                while True:
                    t = self.rfile.readline(8192)
                    if t in (b"\r\n", b"\n", b""):
                        return b"".join(parts)
            total += size
            if total > MAX_BODY:
                raise _HttpError(413, "request body too large")
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
        self.close_connection = True
        try:
            self.wfile.flush()
        except OSError:
            pass
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
        except _HttpError as exc:
            self.close_connection = True
            self._send(Response(exc.status, exc.text, "text/plain"))
            return
        except _AbortConnection:
            self.close_connection = True
            return

        if full_path.startswith("/_emu/") and self.server.listener == "console":
            self._control(full_path, raw_query, body)
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

    def _spoil_reply(self, fault, req, resp, entry):
        """A reply fault for a request the handler carried out."""
        if fault["fault"] == "lost_reply":
            with self.emu.lock:
                entry["handler_status"] = resp.status
            self._drop(rst=False)
            return
        stray = stray_reply(fault, req, resp, self.date_time_string())
        delay = float(fault.get("delay", 0))
        if delay <= 0:
            self._send(resp, entry, extra=stray)
            self.emu.strays.note(entry, "sent")
            return
        # Pending before the reply leaves: a client that has the reply finds
        # the stray counted.
        self.emu.strays.note(entry, "pending")
        self._strays.add(stray, delay, entry)
        self._send(resp, entry)

    def _generic_fault(self, fault, entry):
        name = fault["fault"]
        if name == "status":
            self._send(Response(int(fault.get("status", 500)),
                                fault.get("body", "injected failure"), "text/plain"), entry)
        elif name == "reset":
            self._drop(rst=True)
        elif name == "garbage":
            self._send(Response(200, fault.get("body", GARBAGE_BODY), "text/plain"), entry)
        elif name == "empty":
            self._send(Response(200, b""), entry)
        elif name in ("stall", "truncated"):
            body = fault.get("body", messages.generic_resp("reply cut short " * 8)).encode("utf-8")
            self.close_connection = True
            with self.emu.lock:
                entry["status"] = int(fault.get("status", 200))
            self.send_response(int(fault.get("status", 200)))
            self.send_header("Content-Type", "application/xml")
            self.send_header("Content-Length", str(len(body) + 1000))
            self.end_headers()
            if name == "stall":
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                self.emu.stopping.wait(float(fault.get("seconds", 30)))
            else:
                self.wfile.write(body)
                self.wfile.flush()
            self._drop(rst=False)

    # --- control API ----------------------------------------------------------

    def _control(self, path, raw_query, body):
        emu = self.emu
        query = dict(urllib.parse.parse_qsl(raw_query, keep_blank_values=True))
        try:
            data = json.loads(body.decode("utf-8")) if body.strip() else None
        except (ValueError, UnicodeDecodeError):
            self._send(json_response({"error": "body is not JSON"}, 400))
            return
        try:
            resp = _control_api(emu, self.command, path, query, data)
        except _HttpError as exc:
            resp = json_response({"error": exc.text}, exc.status)
        except Exception as exc:
            traceback.print_exc()
            resp = json_response({"error": "%s: %s" % (type(exc).__name__, exc)}, 500)
        self._send(resp)


class _HttpError(Exception):
    def __init__(self, status, text):
        super().__init__(text)
        self.status = status
        self.text = text


def _need(cond, status, text):
    if not cond:
        raise _HttpError(status, text)


def _control_api(emu, method, path, query, data):
    route = (method, path.rstrip("/"))
    if route == ("GET", "/_emu/journal"):
        return json_response(emu.journal_entries(query.get("kind")))
    if route == ("POST", "/_emu/reset"):
        emu.reset()
        return json_response({"ok": True})
    if route == ("POST", "/_emu/fault"):
        _need(isinstance(data, dict) and data.get("kind") and data.get("fault"), 400,
              "expected {\"kind\": k, \"fault\": f, ...}")
        kind = data["kind"]
        if kind in PROXY_FAULT_KINDS:
            _need(emu.proxy is not None, 409, "no storage proxy running")
            fault = dict(data)
            fault.pop("kind")
            try:
                emu.proxy.inject(kind, fault)
            except ValueError as exc:
                raise _HttpError(400, str(exc)) from None
        else:
            try:
                emu.add_fault(kind, data)
            except ValueError as exc:
                raise _HttpError(400, str(exc)) from None
        return json_response({"ok": True})
    if route == ("GET", "/_emu/faults"):
        return json_response(emu.pending_faults())
    if route == ("GET", "/_emu/strays"):
        with emu.lock:
            strays = {"console": emu.strays.counts()}
        strays["storage"] = emu.proxy.strays() if emu.proxy is not None else None
        strays["pending"] = strays["console"]["pending"] + (
            strays["storage"]["pending"] if strays["storage"] else 0)
        return json_response(strays)
    if route == ("GET", "/_emu/files"):
        with emu.lock:
            return json_response(list(emu.files))
    if route == ("GET", "/_emu/completions"):
        with emu.lock:
            return json_response(list(emu.completions))
    if route == ("GET", "/_emu/state"):
        with emu.lock:
            return Response(200, json.dumps(emu.state, default=json_default), "application/json")
    if route == ("GET", "/_emu/config"):
        with emu.lock:
            return json_response(dict(emu.config))
    if route == ("POST", "/_emu/config"):
        _need(isinstance(data, dict), 400, "expected a JSON object of knobs")
        with emu.lock:
            for k, v in data.items():
                if v is None:
                    emu.config.pop(k, None)
                else:
                    emu.config[k] = v
            return json_response(dict(emu.config))
    if route == ("GET", "/_emu/folders"):
        with emu.lock:
            return json_response(list(emu.state.get("folder", {}).get("folders", [])))
    if route == ("GET", "/_emu/proxy/stats"):
        _need(emu.proxy is not None, 409, "no storage proxy running")
        return json_response(emu.proxy.stats())
    if route == ("GET", "/_emu/proxy/journal"):
        _need(emu.proxy is not None, 409, "no storage proxy running")
        return json_response(emu.proxy.journal(query.get("kind")))
    if route == ("POST", "/_emu/proxy/strict"):
        _need(emu.proxy is not None, 409, "no storage proxy running")
        _need(isinstance(data, dict) and isinstance(data.get("strict"), bool), 400,
              "expected {\"strict\": bool}")
        emu.proxy.set_strict(data["strict"])
        return json_response({"ok": True})
    if route == ("POST", "/_emu/proxy/idle_timeout"):
        _need(emu.proxy is not None, 409, "no storage proxy running")
        _need(isinstance(data, dict) and (data.get("seconds") is None or
                                          isinstance(data.get("seconds"), (int, float))),
              400, "expected {\"seconds\": number or null}")
        emu.proxy.set_idle_timeout(data.get("seconds"))
        return json_response({"ok": True})
    if route == ("GET", "/_emu/blob"):
        _need(emu.storage is not None, 409, "no storage running")
        container, name = query.get("container"), query.get("name")
        _need(container and name, 400, "container and name are required")
        content = emu.storage.get_blob(container, name)
        if content is None:
            return json_response({"exists": False, "size": None, "sha256": None,
                                  "block_list": [], "content_md5": None,
                                  "access_tier": None})
        blocks = emu.storage.committed_block_list(container, name)
        # Content-MD5 and x-ms-access-tier as Get Blob Properties answers.
        props = emu.storage.blob_properties(container, name) or {}
        return json_response({"exists": True, "size": len(content),
                              "sha256": hashlib.sha256(content).hexdigest(),
                              "block_list": [[bid, size] for bid, size in blocks],
                              "content_md5": props.get("content-md5"),
                              "access_tier": props.get("x-ms-access-tier")})
    if route == ("GET", "/_emu/blobs"):
        _need(emu.storage is not None, 409, "no storage running")
        _need(query.get("container"), 400, "container is required")
        return json_response(emu.storage.list_blobs(query["container"]))
    if route == ("GET", "/_emu/info"):
        return json_response({"console_base": emu.console_base, "upload_base": emu.upload_base,
                              "prefix": emu.prefix, "proxy_base": emu.proxy_base})
    raise _HttpError(404, "no control endpoint %s %s" % (method, path))


# --- login (part of the core: both services use it) --------------------------

def _login(emu, req, match):
    override = emu.config.get("login_reply")
    if override is not None:
        body = str(override)
        if "{token}" in body:
            try:
                user = messages.parse_check_credential_req(req.body)["userName"]
            except messages.XmlError:
                user = ""
            body = body.replace("{token}", emu.issue_token(user))
        return Response(int(emu.config.get("login_status", 200)), body)
    try:
        cred = messages.parse_check_credential_req(req.body)
    except messages.XmlError as exc:
        return Response(400, messages.generic_resp("Malformed login request: %s" % exc))
    ok = emu.check_password(cred["userName"], cred["password"])
    with emu.lock:
        emu.state.setdefault("logins", []).append(
            {"userName": cred["userName"], "extraCredential": cred["extraCredential"], "ok": ok})
    if req.fault is not None and req.fault.get("fault") == "error_entry":
        return Response(200, messages.check_credential_resp(
            "", [req.fault.get("text", "Injected login error")]))
    if not ok:
        return Response(200, messages.check_credential_resp(
            "", ["Invalid user name or password"]))
    return Response(200, messages.check_credential_resp(emu.issue_token(cred["userName"])))


def _core_routes(emu):
    return [Route("POST", r"/api/Login", "login", _login, needs_auth=False)]
