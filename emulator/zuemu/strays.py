"""Stray replies of the "extra_reply" fault, shared by the console emulator
(server.py, console_handler.py) and the storage proxy (storage_proxy.py,
proxy_relay.py): the counts of those
pending on live connections, sent and dropped, and the queue of those that
wait on one connection for the client to leave it idle."""

import select
import ssl


class StrayCounts:
    """Stray replies pending on live connections, and those sent or dropped
    (the client closed first) since the last reset; `lock` is the owner's
    lock, which also guards the journal entries."""

    def __init__(self, lock):
        self._lock = lock
        self._counts = {"pending": 0, "sent": 0, "dropped": 0}

    def counts(self):
        with self._lock:
            return dict(self._counts)

    def forget_ended(self):
        """Resets the sent and dropped counts; the caller holds the lock.
        Pending strays belong to live connections and stay counted."""
        self._counts["sent"] = self._counts["dropped"] = 0

    def note(self, entry, state):
        """Counts a stray reply of `entry` as "pending", "sent" or "dropped"
        (these two end a pending one) and records the state in the entry."""
        with self._lock:
            if entry.get("stray") == "pending":
                self._counts["pending"] -= 1
            self._counts[state] += 1
            entry["stray"] = state


class StrayQueue:
    """The stray replies queued on the connection of `handler` (a
    BaseHTTPRequestHandler), each with its delay and journal entry; `counts`
    (a StrayCounts) learns what became of them."""

    def __init__(self, handler, counts):
        self._handler = handler
        self._counts = counts
        self._queue = []

    def add(self, data, delay, entry):
        self._queue.append((data, delay, entry))

    def drop_all(self):
        """The connection ends: the strays still queued count as dropped."""
        for _, _, entry in self._queue:
            self._counts.note(entry, "dropped")
        self._queue = []

    def send_when_idle(self):
        """Sends the queued stray replies (in one write) once the client has
        left the connection idle for the first one's delay; returns at once,
        keeping them queued, when the client sends or closes first. True
        when the connection is to close (no request is to be read)."""
        if not self._queue:
            return False
        handler = self._handler
        if _client_acts_within(handler.connection, self._queue[0][1]):
            return handler.close_connection
        strays, self._queue = self._queue, []
        try:
            handler.wfile.write(b"".join(data for data, _, _ in strays))
            handler.wfile.flush()
            state = "sent"
        except OSError:  # the client closed meanwhile
            handler.close_connection = True
            state = "dropped"
        for _, _, entry in strays:
            self._counts.note(entry, state)
        return handler.close_connection


def _client_acts_within(sock, seconds):
    if isinstance(sock, ssl.SSLSocket) and sock.pending():
        return True
    try:
        readable, _, _ = select.select([sock], [], [], seconds)
    except (OSError, ValueError):
        return True
    return bool(readable)
