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

One module a role: this one holds the shared state and what changes it;
console_handler.py reads and answers each request; exchange.py holds what
handlers see (Request, Response, Route); console_faults.py applies the
faults the core applies itself (the generic ones, and "lost_reply" and
"extra_reply", which spoil the reply of a request carried out);
control_api.py answers /_emu/...; login.py is the login endpoint.
"""

import base64
import binascii
import hashlib
import secrets
import threading
import time

from . import login
from .console_faults import stray_reply  # noqa: F401
from .console_handler import ConsoleHandler, ConsoleServer
from .exchange import (Request, Response, Route, json_default,  # noqa: F401
                       json_response, log)
from .handlers import body_text
from .strays import StrayCounts

# Bodies up to this size are kept as text in the journal.
JOURNAL_BODY_LIMIT = 4096


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
        self.routes.extend(login.routes(self))

    # --- set-up and lifecycle ---------------------------------------------

    def add_routes(self, routes):
        with self.lock:
            self.routes.extend(routes)

    def start(self, host="127.0.0.1", console_port=0, upload_port=0):
        """Starts both listeners; returns (console port, upload port)."""
        ports = []
        for name, port in (("console", console_port), ("upload", upload_port)):
            srv = ConsoleServer((host, port), ConsoleHandler)
            srv.emu = self
            srv.listener = name
            if self.tls_context is not None:
                # The handshake runs in the connection's thread (see
                # ConsoleHandler.setup), so a silent client cannot block accept().
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
        text = body_text(body, JOURNAL_BODY_LIMIT)
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
