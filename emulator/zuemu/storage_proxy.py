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

One module a role: this one holds the proxy's state (counters, journal,
queued faults, strict mode) and the methods that control it;
proxy_relay.py reads each request and relays it to Azurite;
proxy_faults.py carries out the injected faults; proxy_requests.py tells a
request's kind and shapes storage's error bodies.

Python standard library only.
"""

import http.server
import itertools
import os
import sys
import threading

try:
    from .proxy_faults import FAULTS
    from .proxy_relay import ProxyHandler
    from .proxy_requests import (KINDS, MAX_BLOCKS_PER_LIST,  # noqa: F401
                                 count_block_list_ids, error_xml, request_kind)
    from .strays import StrayCounts
except ImportError:  # run as a script
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from zuemu.proxy_faults import FAULTS
    from zuemu.proxy_relay import ProxyHandler
    from zuemu.proxy_requests import (KINDS, MAX_BLOCKS_PER_LIST,  # noqa: F401
                                      count_block_list_ids, error_xml, request_kind)
    from zuemu.strays import StrayCounts

JOURNAL_LIMIT = 200000  # entries kept; the oldest are dropped beyond this


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

        class Handler(ProxyHandler):
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
        if name not in FAULTS:
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



if __name__ == "__main__":
    import signal
    proxy = StorageProxy(int(sys.argv[1]), log_stream=sys.stderr)
    print(proxy.start(), flush=True)
    signal.sigwait({signal.SIGINT, signal.SIGTERM})
    proxy.stop()
