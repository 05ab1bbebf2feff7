"""Fault-injecting, journaling HTTP proxy in front of Azurite.

The library under test talks to this proxy as if it were Azure Blob Storage.
Every request is forwarded to Azurite (so Azurite checks the SAS and stores
the blocks) unless a fault was injected for its kind.  The proxy also

* counts Put Block requests in flight and remembers the highest number ever
  seen at once (the library promises at most one),
* in strict mode refuses, like the real service, what Azurite lets through:
  a Put Block with an empty body, block ids of different lengths among the
  uncommitted blocks of one blob, and a Put Block List naming more than
  50,000 blocks,
* keeps a journal of every request (test use only: the query is kept whole,
  SAS signature included, because tests need the block ids), with the
  Base64 MD5 of each body as received ("body_md5"), to hold a Content-MD5
  header against,
* can flip one byte of a body on its way to Azurite (fault "flip_byte",
  optional "offset", default the middle of the body), as a faulty link or
  memory would,
* counts the connections it accepts (stats "connections") and, when told,
  closes a connection idle for a given time (set_idle_timeout), as a
  storage front with a short keep-alive time-out does,
* can lose the answer to a request carried out (fault "lost_reply": the
  request goes to Azurite, the journal keeps its "upstream_status", and the
  connection is closed before the first byte of the answer) or follow the
  answer with a second, complete one nobody asked for (fault "extra_reply":
  by default "201 Created" with an empty body and the headers storage sends
  with it; "status" and "body" replace it).  With "delay" 0 (the default)
  the stray leaves in the same write as the answer; with a positive "delay"
  it waits until the client has left the connection idle that long (a
  request that comes first is served normally and the stray waits for the
  next idle spell).  strays() counts those pending, sent and dropped,
* can carry a request out and then hold its connection without any answer
  (fault "forward_then_hold": the journal entry, with "upstream_status", is
  complete before the hold) until the client closes it or "seconds"
  (default 30) pass, as a host killed while it waits for the reply sees it.

Request kinds: PUT ...?comp=block -> "put_block", PUT ...?comp=blocklist ->
"put_block_list", GET ...?comp=blocklist -> "get_block_list", PUT of a blob
without comp (Put Blob) -> "put_blob", everything else "storage_other".

Python standard library only.
"""

import base64
import datetime
import hashlib
import http.client
import http.server
import itertools
import select
import socket
import sys
import threading
import time
import urllib.parse
import uuid
import xml.etree.ElementTree as ET

try:
    from .strays import StrayCounts, StrayQueue
except ImportError:  # run as a script
    from strays import StrayCounts, StrayQueue

MAX_BLOCKS_PER_LIST = 50000
JOURNAL_LIMIT = 200000  # entries kept; the oldest are dropped beyond this
BODY_TEXT_LIMIT = 4096

# Headers that describe one hop, not the message; never forwarded.
_HOP_BY_HOP = {
    "connection", "keep-alive", "proxy-authenticate", "proxy-authorization",
    "te", "trailer", "trailers", "transfer-encoding", "upgrade", "expect",
    "host", "content-length", "proxy-connection",
}

_FAULTS = {"status", "reset", "stall", "garbage", "empty", "truncated",
           "forward_then_status", "delay", "block_list", "flip_byte",
           "lost_reply", "extra_reply", "forward_then_hold"}
KINDS = ("put_block", "put_block_list", "get_block_list", "put_blob", "storage_other")


def request_kind(method, query):
    """Kind of a storage request from its method and parsed query dict."""
    comp = query.get("comp", "")
    if method == "PUT" and comp == "block":
        return "put_block"
    if method == "PUT" and comp == "blocklist":
        return "put_block_list"
    if method == "GET" and comp == "blocklist":
        return "get_block_list"
    if method == "PUT" and comp == "" and "restype" not in query:
        return "put_blob"
    return "storage_other"


def error_xml(code, message, extra=None):
    """An error body shaped like the storage service's."""
    now = datetime.datetime.now(datetime.timezone.utc)
    msg = "%s\nRequestId:%s\nTime:%s" % (
        message, uuid.uuid4(), now.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z")
    root = ET.Element("Error")
    ET.SubElement(root, "Code").text = code
    ET.SubElement(root, "Message").text = msg
    for k, v in (extra or {}).items():
        ET.SubElement(root, k).text = v
    return (b'<?xml version="1.0" encoding="utf-8"?>'
            + ET.tostring(root, encoding="utf-8", xml_declaration=False))


def count_block_list_ids(body):
    """Number of block ids in a Put Block List body, or None when the body
    is not a well-formed block list.  Refuses DTDs (no entity expansion)."""
    if b"<!DOCTYPE" in body.upper() or b"<!ENTITY" in body.upper():
        return None
    try:
        root = ET.fromstring(body)
    except ET.ParseError:
        return None
    if root.tag != "BlockList":
        return None
    return sum(1 for child in root
               if child.tag in ("Latest", "Committed", "Uncommitted"))


class _Fault:
    __slots__ = ("params", "remaining")

    def __init__(self, params, remaining):
        self.params = params
        self.remaining = remaining


class StorageProxy:
    """See the module documentation.  All public methods are thread-safe."""

    def __init__(self, upstream_port, strict=True, upstream_host="127.0.0.1",
                 upstream_timeout=120.0, log_stream=None):
        self.upstream_host = upstream_host
        self.upstream_port = upstream_port
        self.upstream_timeout = upstream_timeout
        self.log_stream = log_stream
        self._initial_strict = bool(strict)
        self._lock = threading.Lock()
        self._strict = bool(strict)
        self._stats = self._fresh_stats()
        self._faults = {k: [] for k in KINDS}
        self._journal = []
        self._strays = StrayCounts(self._lock)
        self._seq = itertools.count(1)
        self._conn_ids = itertools.count(1)
        # Seconds an accepted connection may wait for its next request
        # before the proxy closes it (None: the handler's own time-out).
        self._idle_timeout = None
        # blob path -> id length of its uncommitted blocks (strict mode)
        self._id_lengths = {}
        self._server = None
        self._thread = None
        self.port = None

    # -- lifecycle -----------------------------------------------------------

    def start(self):
        """Starts serving on a free loopback port; returns the port."""
        proxy = self

        class Handler(_ProxyHandler):
            owner = proxy

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        server.daemon_threads = True
        self._server = server
        self.port = server.server_address[1]
        self._thread = threading.Thread(target=server.serve_forever,
                                        name="storage-proxy", daemon=True)
        self._thread.start()
        return self.port

    def stop(self):
        server, self._server = self._server, None
        if server is not None:
            server.shutdown()
            server.server_close()
        if self._thread is not None:
            self._thread.join(timeout=5)
            self._thread = None

    @property
    def base_url(self):
        """"http://127.0.0.1:<port>/devstoreaccount1"."""
        return "http://127.0.0.1:%d/devstoreaccount1" % self.port

    # -- control -------------------------------------------------------------

    @staticmethod
    def _fresh_stats():
        return {"put_block": 0, "put_block_list": 0, "get_block_list": 0,
                "put_blob": 0, "storage_other": 0,
                "in_flight_put_block": 0, "max_in_flight_put_block": 0,
                "strict_refusals": 0, "connections": 0}

    def stats(self):
        with self._lock:
            out = dict(self._stats)
            out["strict"] = self._strict
            return out

    def reset_stats(self):
        """Back to the state after construction: counters, journal, pending
        faults and per-blob id tracking cleared, strict mode as constructed.
        Requests still running finish normally; their in-flight count is
        kept so that it cannot go negative."""
        with self._lock:
            in_flight = self._stats["in_flight_put_block"]
            self._stats = self._fresh_stats()
            self._stats["in_flight_put_block"] = in_flight
            self._stats["max_in_flight_put_block"] = in_flight
            self._faults = {k: [] for k in KINDS}
            self._journal = []
            self._id_lengths = {}
            self._strict = self._initial_strict
            self._idle_timeout = None
            self._strays.forget_ended()

    def set_idle_timeout(self, seconds):
        """Connections accepted from now on are closed after `seconds`
        without a request, like a server with a short keep-alive time-out
        (None: back to the default)."""
        with self._lock:
            self._idle_timeout = None if seconds is None else float(seconds)

    def _accepted(self):
        """Counts an accepted connection; returns its idle time-out."""
        with self._lock:
            self._stats["connections"] += 1
            return self._idle_timeout

    def set_strict(self, strict):
        with self._lock:
            self._strict = bool(strict)

    def inject(self, kind, fault):
        """Queues a fault for the next fault["count"] (default 1) requests of
        `kind`; a count of 0 or less means every later request (until reset).
        Faults queued for one kind apply in the order injected."""
        if kind not in KINDS:
            raise ValueError("unknown storage request kind %r" % (kind,))
        params = dict(fault)
        name = params.get("fault")
        if name not in _FAULTS:
            raise ValueError("unknown fault %r" % (name,))
        count = int(params.pop("count", 1))
        params.pop("kind", None)
        if count < 1:
            count = -1  # unlimited
        with self._lock:
            self._faults[kind].append(_Fault(params, count))

    def clear_faults(self):
        with self._lock:
            self._faults = {k: [] for k in KINDS}

    def strays(self):
        """Stray answers of "extra_reply": pending on live connections, and
        sent or dropped (the client closed first) since the last reset."""
        return self._strays.counts()

    def _note_stray(self, entry, state):
        self._strays.note(entry, state)

    def journal(self, kind=None):
        with self._lock:
            entries = list(self._journal)
        if kind:
            entries = [e for e in entries if e["kind"] == kind]
        return [dict(e) for e in entries]

    # -- used by the handler -------------------------------------------------

    def _take_fault(self, kind):
        with self._lock:
            queue = self._faults[kind]
            if not queue:
                return None
            fault = queue[0]
            if fault.remaining > 0:
                fault.remaining -= 1
                if fault.remaining == 0:
                    queue.pop(0)
            return dict(fault.params)

    def _begin(self, kind):
        with self._lock:
            self._stats[kind] += 1
            if kind == "put_block":
                s = self._stats
                s["in_flight_put_block"] += 1
                if s["in_flight_put_block"] > s["max_in_flight_put_block"]:
                    s["max_in_flight_put_block"] = s["in_flight_put_block"]

    def _end(self, kind):
        if kind != "put_block":
            return
        with self._lock:
            if self._stats["in_flight_put_block"] > 0:
                self._stats["in_flight_put_block"] -= 1

    def _record(self, entry):
        with self._lock:
            entry["seq"] = next(self._seq)
            self._journal.append(entry)
            if len(self._journal) > JOURNAL_LIMIT:
                del self._journal[:len(self._journal) - JOURNAL_LIMIT]

    def _strict_check(self, kind, blob_key, query, body):
        """Returns (code, message, extra) to refuse the request, else None."""
        with self._lock:
            if not self._strict:
                return None
            if kind == "put_block":
                if len(body) == 0:
                    return ("InvalidHeaderValue",
                            "The value for one of the HTTP headers is not in "
                            "the correct format.",
                            {"HeaderName": "Content-Length",
                             "HeaderValue": "0"})
                block_id = query.get("blockid", "")
                known = self._id_lengths.get(blob_key)
                if known is not None and known != len(block_id):
                    return ("InvalidBlobOrBlock",
                            "The specified blob or block content is invalid.",
                            None)
            elif kind == "put_block_list":
                n = count_block_list_ids(body)
                if n is not None and n > MAX_BLOCKS_PER_LIST:
                    return ("InvalidBlockList",
                            "The specified block list is invalid.", None)
        return None

    def _note_success(self, kind, blob_key, query):
        with self._lock:
            if kind == "put_block":
                self._id_lengths.setdefault(blob_key,
                                            len(query.get("blockid", "")))
            elif kind == "put_block_list":
                # Committing discards the blob's uncommitted blocks.
                self._id_lengths.pop(blob_key, None)

    def _log(self, text):
        if self.log_stream is not None:
            try:
                print("[storage-proxy] " + text, file=self.log_stream,
                      flush=True)
            except (OSError, ValueError):
                pass


class _Reset(Exception):
    """Close the client connection without an answer."""


class _ProxyHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    owner = None  # StorageProxy, set by the subclass made in start()
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

    def _stray_answer(self, fault, body):
        """The whole answer "extra_reply" sends after the real one."""
        status = int(fault.get("status", 201))
        text = fault.get("body")
        lines = ["HTTP/1.1 %d %s" % (status,
                                     self.responses.get(status, ("",))[0])]
        if text is None:
            payload = b""
            now = self.date_time_string()
            lines += [
                "Content-MD5: %s" % base64.b64encode(
                    hashlib.md5(body).digest()).decode("ascii"),
                "Last-Modified: %s" % now,
                'ETag: "0x8D%013X"' % uuid.uuid4().int,
            ]
        else:
            payload = text.encode("utf-8")
            lines.append("Content-Type: application/xml")
        lines += [
            "Server: Windows-Azure-Blob/1.0 Microsoft-HTTPAPI/2.0",
            "x-ms-request-id: %s" % uuid.uuid4(),
            "x-ms-version: %s" % (self.headers.get("x-ms-version")
                                  or "2021-08-06"),
            "x-ms-request-server-encrypted: true",
            "Date: %s" % self.date_time_string(),
            "Content-Length: %d" % len(payload),
        ]
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + payload

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
            text = None
            if len(body) <= BODY_TEXT_LIMIT:
                try:
                    text = body.decode("utf-8")
                except UnicodeDecodeError:
                    text = None
            entry["body"] = text

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

    # -- faults ----------------------------------------------------------------

    def _apply_fault(self, fault, kind, blob_key, query, method, body,
                     had_body, end):
        """Carries out one injected fault.  `end(status)` settles the
        request (status None: no status line was sent)."""
        name = fault["fault"]
        owner = self.owner
        if name == "flip_byte":
            # The journal keeps the body as the client sent it.
            if body:
                at = int(fault.get("offset", len(body) // 2)) % len(body)
                changed = bytearray(body)
                changed[at] ^= 0x01
                body = bytes(changed)
            self._forward_and_relay(kind, blob_key, query, method, body,
                                    had_body, end)
            return
        if name == "delay":
            # Forward normally after a pause; the request stays in flight.
            time.sleep(float(fault.get("seconds", 1)))
            self._forward_and_relay(kind, blob_key, query, method, body,
                                    had_body, end)
            return
        if name == "status" or name == "forward_then_status":
            if name == "forward_then_status":
                self._forward_unanswered(kind, blob_key, query, method, body,
                                         had_body)
            status = int(fault.get("status", 500))
            end(status)
            self._fault_status_reply(status, fault.get("body"))
            return
        if name == "reset":
            end(None)
            self._abort()
            return
        if name == "lost_reply":
            self._forward_unanswered(kind, blob_key, query, method, body,
                                     had_body)
            end(None)
            self._abort()
            return
        if name == "forward_then_hold":
            self._forward_unanswered(kind, blob_key, query, method, body,
                                     had_body)
            end(None)
            self._wait_for_close(float(fault.get("seconds", 30)))
            self._abort()
            return
        if name == "extra_reply":
            stray = self._stray_answer(fault, body)
            delay = float(fault.get("delay", 0))
            # Pending before the answer leaves: a client that has the answer
            # finds the stray counted.
            owner._note_stray(self._entry, "pending")
            if delay > 0:
                # Sent, or dropped, by the connection (finish()).
                self._strays.add(stray, delay, self._entry)
                self._forward_and_relay(kind, blob_key, query, method, body,
                                        had_body, end)
                return
            try:
                self._forward_and_relay(kind, blob_key, query, method, body,
                                        had_body, end, stray=stray)
            except OSError:
                owner._note_stray(self._entry, "dropped")
                raise
            owner._note_stray(self._entry, "sent")
            return
        if name == "garbage":
            end(200)
            self._send(200, [("Content-Type", "application/xml")],
                       b"\x00\xffthis is not <xml or {json at all\x01")
            return
        if name == "block_list":
            # A well-formed block list of `blocks` uncommitted entries with
            # ids of `id_length` characters, whatever the blob holds (a
            # hostile or broken service's answer to Get Block List).
            entry = "<Block><Name>%s</Name><Size>1</Size></Block>" % (
                "Q" * int(fault.get("id_length", 8)))
            data = ('<?xml version="1.0" encoding="utf-8"?><BlockList>'
                    "<UncommittedBlocks>" + entry * int(fault.get("blocks", 1)) +
                    "</UncommittedBlocks></BlockList>").encode("utf-8")
            end(200)
            try:
                self._send(200, [("Content-Type", "application/xml")], data)
            except OSError:
                self.close_connection = True  # the client stopped reading
            return
        if name == "empty":
            end(200)
            self._send(200, [], b"")
            return
        if name == "truncated":
            partial = b'<?xml version="1.0" encoding="utf-8"?><Err'
            end(200)
            self._send(200, [("Content-Type", "application/xml")], partial,
                       declared_len=len(partial) + 1000)
            self._abort()
            return
        if name == "stall":
            # Headers and part of the body, then nothing until the client
            # gives up (closes) or the stall time is over.  The request no
            # longer counts as in flight: the client has to time out, and
            # its retry must not be mistaken for a parallel send.
            seconds = float(fault.get("seconds", 30))
            partial = b'<?xml version="1.0" encoding="utf-8"?><Er'
            end(201)
            self.send_response_only(201, "Created")
            self.send_header("Content-Type", "application/xml")
            self.send_header("Content-Length", str(len(partial) + 1000))
            self.end_headers()
            self.wfile.write(partial)
            self.wfile.flush()
            self._wait_for_close(seconds)
            self._abort()
            return
        raise ValueError("unknown fault %r" % (name,))

    def _fault_status_reply(self, status, text):
        if text is None:
            code = "InternalError" if status >= 500 else "InjectedFault"
            self._send_error_xml(status, code,
                                 "The server encountered an internal error. "
                                 "Please retry the request.")
        else:
            self._send(status, [("Content-Type", "application/xml")],
                       text.encode("utf-8"))

    def _wait_for_close(self, seconds):
        deadline = time.monotonic() + seconds
        sock = self.connection
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            try:
                readable, _, _ = select.select([sock], [], [], min(left, 1.0))
                if readable and not sock.recv(65536):
                    return  # client closed
            except OSError:
                return

    def _abort(self):
        """Drops the connection without (further) answer."""
        self.close_connection = True
        try:
            self.wfile.flush()
        except OSError:
            pass
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


if __name__ == "__main__":
    import signal
    proxy = StorageProxy(int(sys.argv[1]), log_stream=sys.stderr)
    print(proxy.start(), flush=True)
    signal.sigwait({signal.SIGINT, signal.SIGTERM})
    proxy.stop()
