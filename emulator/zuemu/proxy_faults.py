"""The storage proxy's injected faults, carried out on the connection of the
request they spoil (a mixin of proxy_relay.ProxyHandler): see the module
documentation of storage_proxy for what each fault does."""

import base64
import hashlib
import select
import socket
import time
import uuid

from .handlers import flush_before_close

FAULTS = {"status", "reset", "stall", "garbage", "empty", "truncated",
          "forward_then_status", "delay", "block_list", "flip_byte",
          "lost_reply", "extra_reply", "forward_then_hold"}


class ProxyFaults:
    """Fault methods of the proxy's request handler."""

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
        flush_before_close(self)
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
