"""The storage proxy's request handler: reads each request, journals it,
applies a fault or a strict-mode refusal, else relays it to Azurite on the
connection's own upstream connection and the answer back to the client."""

import base64
import hashlib
import http.client
import http.server
import socket
import urllib.parse

from .handlers import body_text
from .proxy_faults import ProxyFaults
from .proxy_requests import error_xml, request_kind
from .strays import StrayQueue

BODY_TEXT_LIMIT = 4096

# Headers that describe one hop, not the message; never forwarded.
_HOP_BY_HOP = {
    "connection", "keep-alive", "proxy-authenticate", "proxy-authorization",
    "te", "trailer", "trailers", "transfer-encoding", "upgrade", "expect",
    "host", "content-length", "proxy-connection",
}


class _Reset(Exception):
    """Close the client connection without an answer."""


class ProxyHandler(ProxyFaults, http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    owner = None  # StorageProxy, set by the subclass StorageProxy.start() makes
    # Bound every socket read so that an abandoned client cannot pin a
    # thread forever; generous, since clients may idle between blocks.
    timeout = 900

    def setup(self):
        # Stray answers queued on this connection.
        self._strays = StrayQueue(self, self.owner._strays)
        super().setup()
        self.connection_id = next(self.owner._conn_ids)
        self.upstream = None
        idle = self.owner._accepted()
        if idle is not None:
            self.connection.settimeout(idle)
        try:
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY,
                                       1)
        except OSError:
            pass

    def finish(self):
        try:
            super().finish()
        finally:
            if self.upstream is not None:
                self.upstream.close()
                self.upstream = None
            self._strays.drop_all()

    def handle_one_request(self):
        if self._strays.send_when_idle():
            return
        try:
            super().handle_one_request()
        except ConnectionResetError:
            # A client that closes a connection holding bytes it did not
            # read (a stray answer) resets it: routine, not an error.
            self.close_connection = True

    def log_message(self, fmt, *args):
        self.owner._log("%s %s" % (self.address_string(), fmt % args))

    # Every method goes through the same path.
    def do_GET(self):
        self._handle()

    do_PUT = do_POST = do_DELETE = do_HEAD = do_OPTIONS = do_PATCH = do_GET

    # -- request reading -----------------------------------------------------

    def _read_body(self):
        te = (self.headers.get("Transfer-Encoding") or "").lower()
        if "chunked" in te:
            chunks = []
            while True:
                line = self.rfile.readline(65537)
                if not line:
                    raise _Reset()
                size = int(line.split(b";", 1)[0].strip() or b"0", 16)
                if size == 0:
                    # trailers up to the empty line
                    while True:
                        t = self.rfile.readline(65537)
                        if t in (b"\r\n", b"\n", b""):
                            break
                    break
                data = self.rfile.read(size)
                if len(data) < size:
                    raise _Reset()
                chunks.append(data)
                self.rfile.readline(3)
            return b"".join(chunks)
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        n = int(length)
        data = self.rfile.read(n) if n > 0 else b""
        if len(data) < n:
            raise _Reset()
        return data

    # -- answering -----------------------------------------------------------

    def _send(self, status, headers, body, reason=None, declared_len=None,
              is_head=False, stray=b""):
        """Writes one complete answer, and `stray` (raw bytes) in the same
        write.  `headers` excludes Content-Length unless `is_head` (a HEAD
        answer keeps the upstream length)."""
        self.send_response_only(status, reason)
        have_date = False
        for k, v in headers:
            if k.lower() == "date":
                have_date = True
            self.send_header(k, v)
        if not have_date:
            self.send_header("Date", self.date_time_string())
        if not is_head:
            self.send_header("Content-Length",
                             str(len(body) if declared_len is None
                                 else declared_len))
        if stray:
            self._headers_buffer.append(b"\r\n")
            if body and not is_head:
                self._headers_buffer.append(body)
            self._headers_buffer.append(stray)
            self.flush_headers()
            return
        self.end_headers()
        if body and not is_head:
            self.wfile.write(body)
        self.wfile.flush()

    def _send_error_xml(self, status, code, message, extra=None, stray=b""):
        body = error_xml(code, message, extra)
        self._send(status, [("Content-Type", "application/xml"),
                            ("x-ms-error-code", code)], body, stray=stray)

    # -- forwarding ----------------------------------------------------------

    def _forward(self, method, path_qs, body, had_body):
        """Sends the request to Azurite on this connection's upstream
        connection; returns (status, reason, headers, body)."""
        hdrs = [(k, v) for k, v in self.headers.items()
                if k.lower() not in _HOP_BY_HOP]
        if had_body or method in ("PUT", "POST", "PATCH"):
            hdrs.append(("Content-Length", str(len(body))))
        owner = self.owner
        for attempt in (1, 2):
            if self.upstream is None:
                self.upstream = http.client.HTTPConnection(
                    owner.upstream_host, owner.upstream_port,
                    timeout=owner.upstream_timeout)
            conn = self.upstream
            try:
                conn.putrequest(method, path_qs, skip_accept_encoding=True)
                for k, v in hdrs:
                    conn.putheader(k, v)
                conn.endheaders(body if body else None)
                resp = conn.getresponse()
                data = resp.read()
                rheaders = resp.getheaders()
                if resp.will_close:
                    conn.close()
                    self.upstream = None
                return resp.status, resp.reason, rheaders, data
            except (http.client.RemoteDisconnected, BrokenPipeError,
                    ConnectionResetError, http.client.CannotSendRequest,
                    http.client.ResponseNotReady) as exc:
                # A kept-alive upstream connection may have been closed by
                # Azurite while idle; retry once on a fresh connection.
                conn.close()
                self.upstream = None
                if attempt == 2:
                    raise
                owner._log("upstream connection lost (%s), reconnecting"
                           % exc)
            except Exception:
                conn.close()
                self.upstream = None
                raise
        raise AssertionError("unreachable")

    # -- the request -----------------------------------------------------------

    def _handle(self):
        owner = self.owner
        method = self.command
        split = urllib.parse.urlsplit(self.path)
        raw_query = split.query
        query = dict(urllib.parse.parse_qsl(raw_query, keep_blank_values=True))
        kind = request_kind(method, query)
        blob_key = urllib.parse.unquote(split.path)
        owner._begin(kind)
        entry = {
            "kind": kind, "method": method, "path": split.path,
            "query": raw_query, "headers": [[k, v] for k, v in
                                            self.headers.items()],
            "body_len": 0, "body_sha256": hashlib.sha256(b"").hexdigest(),
            "body_md5": base64.b64encode(hashlib.md5(b"").digest()).decode(),
            "body": "", "connection": self.connection_id, "status": None,
        }
        self._entry = entry
        ended = False

        def end(status):
            """Settles the request before any answer byte goes out: the
            in-flight count drops and the journal entry is complete, so a
            client that reacts to the answer never sees stale state."""
            nonlocal ended
            if not ended:
                ended = True
                entry["status"] = status
                owner._end(kind)
                owner._record(entry)

        try:
            had_body = ("Content-Length" in self.headers
                        or "Transfer-Encoding" in self.headers)
            try:
                body = self._read_body()
            except (_Reset, ValueError, OSError):
                # Incomplete or malformed body: nothing sensible to answer.
                entry["body"] = None
                end(None)
                self.close_connection = True
                return
            entry["body_len"] = len(body)
            entry["body_sha256"] = hashlib.sha256(body).hexdigest()
            entry["body_md5"] = base64.b64encode(
                hashlib.md5(body).digest()).decode()
            entry["body"] = body_text(body, BODY_TEXT_LIMIT)

            fault = owner._take_fault(kind)
            if fault is not None:
                entry["fault"] = fault.get("fault")
                self._apply_fault(fault, kind, blob_key, query, method, body,
                                  had_body, end)
                return

            refusal = owner._strict_check(kind, blob_key, query, body)
            if refusal is not None:
                with owner._lock:
                    owner._stats["strict_refusals"] += 1
                code, message, extra = refusal
                entry["strict_refusal"] = code
                end(400)
                self._send_error_xml(400, code, message, extra)
                return

            self._forward_and_relay(kind, blob_key, query, method, body,
                                    had_body, end)
        finally:
            end(entry["status"])

    def _forward_and_relay(self, kind, blob_key, query, method, body,
                           had_body, end, stray=b""):
        try:
            status, reason, rheaders, data = self._forward(
                method, self.path, body, had_body)
        except (OSError, http.client.HTTPException) as exc:
            end(502)
            self._send_error_xml(502, "UpstreamUnavailable",
                                 "Storage emulator unreachable: %s" % exc,
                                 stray=stray)
            return
        if 200 <= status < 300:
            self.owner._note_success(kind, blob_key, query)
        end(status)
        self._relay(status, reason, rheaders, data, method == "HEAD", stray)

    def _forward_unanswered(self, kind, blob_key, query, method, body,
                            had_body):
        """Forwards the request without answering the client; the journal
        keeps what storage answered ("upstream_status", None when storage
        could not be reached)."""
        try:
            status, _, _, _ = self._forward(method, self.path, body, had_body)
        except (OSError, http.client.HTTPException):
            self._entry["upstream_status"] = None
            return
        self._entry["upstream_status"] = status
        if 200 <= status < 300:
            self.owner._note_success(kind, blob_key, query)

    def _relay(self, status, reason, rheaders, data, is_head, stray=b""):
        out = []
        for k, v in rheaders:
            lk = k.lower()
            if lk in _HOP_BY_HOP and not (is_head and lk == "content-length"):
                continue
            out.append((k, v))
        if is_head:
            # The HEAD answer's Content-Length describes the resource.
            self.send_response_only(status, reason)
            for k, v in out:
                self.send_header(k, v)
            if not any(k.lower() == "content-length" for k, _ in out):
                self.send_header("Content-Length", "0")
            self._headers_buffer.append(b"\r\n" + stray)
            self.flush_headers()
            self.wfile.flush()
            return
        self._send(status, out, data, reason=reason, stray=stray)
