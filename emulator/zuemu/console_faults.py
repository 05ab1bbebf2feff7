"""Faults the console emulator's core applies itself, on the connection of
the request they spoil (a mixin of console_handler.ConsoleHandler).

Generic faults replace the reply: "status", "reset", "stall", "garbage",
"empty", "truncated".

Two faults let the handler run and then spoil the reply: "lost_reply"
closes the connection before the first byte of it (the request's effects
stay), "extra_reply" sends it followed by a second, complete reply nobody
asked for: at once (in the same write) with "delay" 0, else once the
connection has been idle for "delay" seconds (a request that comes first
is served normally, and the stray waits for the next idle spell). See
stray_reply() for what the stray says.
"""

import uuid
from http.server import BaseHTTPRequestHandler

from . import messages
from .exchange import SERVER_VERSION, Response

# Faults the core applies itself; every other fault goes to the handler.
GENERIC_FAULTS = ("status", "reset", "stall", "garbage", "empty", "truncated")
# Faults the core applies to the reply of a request the handler carried out.
REPLY_FAULTS = ("lost_reply", "extra_reply")

GARBAGE_BODY = b"%%% this is neither XML nor JSON {[<\x01\xff"


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
            "Content-Length: %d\r\n\r\n" % (status, reason, SERVER_VERSION, date, len(body)))
    return head.encode("latin-1") + body


class ConsoleFaults:
    """Fault methods of the console's request handler."""

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
