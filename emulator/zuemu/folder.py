"""Folder service endpoints: DR folder set-up workflow, folder creation and
the resumable chunked upload.

Module state lives in emu.state["folder"] (cleared by reset): set-up requests
received, folders created, upload sessions. Share ids handed out by the
set-up are kept in emu.durable["shares"] so that a client holding one keeps
working across a reset; they are derived from (GUID, folder type), so the
same deployment always gets the same share and folder GUID.

Upload sessions append whole request bodies: a chunk is either stored
completely or not at all, and the held byte count is what offset queries
report. The "hold_part_then_500" fault makes a session hold the first part
of a chunk (half, or the fault's "bytes") uncommitted: offset queries count
it, and the next request with a body drops it before that body is stored. Files up to KEEP_LIMIT bytes keep their content for tests; larger
ones are only hashed so that multi-GiB uploads run in bounded memory.

A session that is complete answers every later request with its fileGUID
and chunkOffset, storing nothing more. Two knobs in emu.config model
servers that answer otherwise: with "complete_session_refuses_chunks" true
a request with a body is refused (400, GenericResp "Upload already
complete"); with "complete_session_offset_without_guid" true an offset
query (no body) gets the chunkOffset alone.
"""

import base64
import binascii
import hashlib
import re
import secrets
import uuid

from . import messages
from .exchange import Response, Route

KEEP_LIMIT = 64 * 1024 * 1024
_NS = uuid.UUID("3f0e5c1a-8f52-4c7e-9a55-2f4f0d0c7a11")

SETUP_PATH = r"/api/Workflow/Setup_DRBackup_ZUCloudV2/Action/Execute"
CREATE_FOLDER_PATH = r"/api/drive/share/(?P<share>[^/]+)/action/createfolder"
UPLOAD_PATH = r"/api/drive/share/(?P<share>[^/]+)/file/action/upload"


def _state(emu):
    return emu.state.setdefault(
        "folder", {"setup_requests": [], "folders": [], "sessions": {}})


def _shares(emu):
    return emu.durable.setdefault("shares", {})


def _override(emu, knob, status_knob, default_status=200):
    """A verbatim reply configured by a test, or None."""
    body = emu.config.get(knob)
    if body is None:
        return None
    return Response(int(emu.config.get(status_knob, default_status)), str(body))


# --- set-up workflow ---------------------------------------------------------

def _setup_values(emu, guid, folder_type):
    key = "%s|%s" % (guid, folder_type)
    share_id = "s-" + hashlib.sha256(key.encode("utf-8")).hexdigest()[:12]
    folder_guid = str(uuid.uuid5(_NS, key))
    top = "Reports" if folder_type == "2" else "DRBackup"
    return {
        "shareID": share_id,
        "folderPath": "\\%s\\%s" % (top, guid),
        "folderGUID": folder_guid,
        "uploadURL": emu.upload_base + emu.prefix,
    }


def _fill(template, values):
    for k, v in values.items():
        template = template.replace("{%s}" % k, v)
    return template


def handle_setup(emu, req, match):
    try:
        root = messages.parse_xml(req.body)
    except messages.XmlError as exc:
        return Response(400, messages.generic_resp("Malformed workflow input: %s" % exc))
    if root.tag != "Workflow_StartWorkflow":
        return Response(400, messages.generic_resp("Expected Workflow_StartWorkflow"))
    inputs = root.find("options/inputs")
    guid = messages.child_text(inputs, "VestrumGUID") if inputs is not None else ""
    folder_type = messages.child_text(inputs, "FolderType") if inputs is not None else ""
    outputonly = req.query.get("outputonly")
    with emu.lock:
        _state(emu)["setup_requests"].append({
            "VestrumGUID": guid, "FolderType": folder_type, "outputonly": outputonly,
            "outputFormat": messages.child_text(root, "outputFormat", None),
            "listener": req.listener})

    values = _setup_values(emu, guid, folder_type) if guid else None
    if values is not None:
        with emu.lock:
            _shares(emu)[values["shareID"]] = {"guid": guid, "folder_type": folder_type,
                                               "folderPath": values["folderPath"]}
    override = emu.config.get("folder_setup_reply")
    if override is not None:
        return Response(int(emu.config.get("folder_setup_status", 200)),
                        _fill(str(override), values or {}))
    status = int(emu.config.get("folder_setup_status", 200))

    if outputonly != "true":
        return Response(400, messages.generic_resp("outputonly=true is required"))
    if not guid:
        return Response(status, "<Workflow_Output><errorMessage>VestrumGUID is empty"
                                "</errorMessage></Workflow_Output>")
    if folder_type not in ("1", "2"):
        return Response(status, "<Workflow_Output><errorMessage>Unknown FolderType"
                                "</errorMessage></Workflow_Output>")
    body = ("<Workflow_Output>" + "".join(
        "<%s>%s</%s>" % (k, _xml_text(values[k]), k)
        for k in ("shareID", "folderPath", "folderGUID", "uploadURL"))
        + "</Workflow_Output>")
    return Response(status, messages.XML_DECLARATION + body)


def _xml_text(s):
    return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


# --- folder creation ---------------------------------------------------------

def handle_create_folder(emu, req, match):
    override = _override(emu, "create_folder_reply", "create_folder_status")
    if override is not None:
        return override
    share = match.group("share")
    try:
        info = messages.parse_file_resource_info(req.body)
    except messages.XmlError as exc:
        return Response(400, messages.generic_resp("Malformed FileResourceInfo: %s" % exc))
    failure = None
    with emu.lock:
        if share not in _shares(emu):
            failure = "Share not found"
        elif not info["name"]:
            failure = "Folder name is empty"
    if failure:
        # The empty GUID element mirrors the service: the record is present
        # but carries no GUID, and the status part says why.
        return Response(200, messages.file_resource_response(
            {"folderGUID": "", "folderDetail": ""}, failure))
    with emu.lock:
        folders = _state(emu)["folders"]
        for rec in folders:
            if (rec["share"], rec["parentPath"], rec["name"]) == (share, info["parentPath"],
                                                                   info["name"]):
                rec["requests"] += 1
                break
        else:
            rec = {"share": share, "parentPath": info["parentPath"], "name": info["name"],
                   "folderGUID": str(uuid.uuid4()),
                   "folderDetail": info["parentPath"] + "\\" + info["name"], "requests": 1}
            folders.append(rec)
        reply = {"name": rec["name"], "parentPath": rec["parentPath"],
                 "folderGUID": rec["folderGUID"], "folderDetail": rec["folderDetail"]}
    return Response(200, messages.file_resource_response(reply))


# --- chunked upload ------------------------------------------------------------

class UploadSession:
    def __init__(self, share, request_id, name, parent, size, mtime, listener):
        self.share = share
        self.request_id = request_id
        self.name = name
        self.parent = parent
        self.size = size
        self.mtime = mtime
        self.listener = listener
        self.held = 0
        self.sha = hashlib.sha256()
        self.data = bytearray() if size <= KEEP_LIMIT else None
        self.file_guid = None
        self.chunks = 0
        self.partial = 0  # bytes of a part-held chunk, counted by offset queries only
        self.marks = []  # (held, sha, chunks) before each chunk, to lose it again

    def append(self, chunk):
        self.marks.append((self.held, self.sha.copy(), self.chunks))
        self.sha.update(chunk)
        if self.data is not None:
            self.data += chunk
        self.held += len(chunk)
        self.chunks += 1

    def lose_last(self):
        """Forgets the last chunk held, as a server restored from an older
        state would."""
        if not self.marks:
            return
        self.held, self.sha, self.chunks = self.marks.pop()
        if self.data is not None:
            del self.data[self.held:]

    def to_json(self):
        return {"share": self.share, "requestId": self.request_id, "name": self.name,
                "parentPath": self.parent, "size": self.size, "held": self.held,
                "chunks": self.chunks, "fileGUID": self.file_guid}


class _BadUpload(Exception):
    def __init__(self, status, text):
        super().__init__(text)
        self.status = status
        self.text = text


def upload_kind(req):
    if "requestId" not in req.query:
        return "upload_session"
    return "upload_chunk" if req.body else "offset_query"


def _b64_text(req, header):
    value = req.header(header)
    if value is None:
        return None
    try:
        return base64.b64decode(value.strip(), validate=True).decode("utf-8")
    except (binascii.Error, ValueError, UnicodeDecodeError):
        raise _BadUpload(400, "%s is not Base64 of UTF-8 text" % header) from None


def _file_size(req):
    value = req.header("FileSize")
    if value is None or not re.fullmatch(r"[0-9]+", value.strip()):
        raise _BadUpload(400, "FileSize must be a decimal byte count")
    return int(value.strip())


def _error(status, text):
    # Deliberately not an UploadFileResp: the client must not find any of its
    # field names in a failure reply.
    return Response(status, messages.generic_resp(text))


def handle_upload(emu, req, match):
    try:
        return _upload(emu, req, match)
    except _BadUpload as exc:
        return _error(exc.status, exc.text)


def _upload(emu, req, match):
    share = match.group("share")
    if req.query.get("uploadType") != "chunkedFile":
        raise _BadUpload(400, "uploadType=chunkedFile is required")
    with emu.lock:
        if share not in _shares(emu):
            raise _BadUpload(404, "Share not found")
    size = _file_size(req)
    eof = (req.header("FileEOF") or "").strip() == "1"
    fault = (req.fault or {}).get("fault")
    chunk = req.body

    request_id = req.query.get("requestId")
    if request_id is None:
        if req.query.get("forceRestart") != "true":
            raise _BadUpload(400, "a new upload needs forceRestart=true")
        name = _b64_text(req, "FileName")
        if not name:
            raise _BadUpload(400, "FileName is required")
        parent = _b64_text(req, "ParentFolderPath") or ""
        session = UploadSession(share, "r-" + secrets.token_hex(8), name, parent, size,
                                req.header("FileModifiedtime"), req.listener)
        with emu.lock:
            _state(emu)["sessions"][session.request_id] = session
    else:
        with emu.lock:
            session = _state(emu)["sessions"].get(request_id)
        if session is None or session.share != share:
            raise _BadUpload(404, "Unknown upload request")
        if size != session.size:
            raise _BadUpload(400, "FileSize differs from the size the upload was opened with")

    if fault == "drop_then_500":
        return _error(500, "Injected server failure, chunk discarded")
    if fault == "lose_then_500":
        with emu.lock:
            if session.file_guid is None:
                session.lose_last()
        return _error(500, "Injected server failure, the last chunk held lost, this one discarded")
    with emu.lock:
        was_complete = session.file_guid is not None
        if chunk:
            session.partial = 0
        if fault == "hold_part_then_500" and chunk and session.file_guid is None:
            part = int((req.fault or {}).get("bytes", len(chunk) // 2))
            session.partial = max(1, min(part, len(chunk) - 1)) if len(chunk) > 1 else 0
            return _error(500, "Injected server failure, part of the chunk held")
        if session.file_guid is None:
            after = session.held + len(chunk)
            if after > session.size:
                raise _BadUpload(400, "chunk would grow the file past FileSize (%d + %d > %d)"
                                 % (session.held, len(chunk), session.size))
            # An empty request with FileEOF is how the client asks for the
            # offset after a failed last chunk: with bytes missing it is
            # answered like any offset query. A chunk that ends the file at
            # the wrong size is refused and not stored.
            if eof and chunk and after != session.size:
                raise _BadUpload(400, "end of file with %d of %d bytes" % (after, session.size))
            if chunk:
                session.append(chunk)
            if eof and session.held == session.size:
                _complete(emu, session)
        if fault == "store_then_500":
            return _error(500, "Injected server failure after storing the chunk")
        if was_complete:
            return _complete_reply(emu, session, chunk)
        if session.file_guid is not None:
            return Response(200, messages.upload_file_resp(
                request_id=session.request_id, file_guid=session.file_guid,
                chunk_offset=session.held))
        return Response(200, messages.upload_file_resp(
            request_id=session.request_id, chunk_offset=session.held + session.partial))


def _complete_reply(emu, session, chunk):
    """The answer of a session that was complete before the request; the
    caller holds emu.lock."""
    if chunk and emu.config.get("complete_session_refuses_chunks"):
        return _error(400, "Upload already complete")
    file_guid = session.file_guid
    if not chunk and emu.config.get("complete_session_offset_without_guid"):
        file_guid = None
    return Response(200, messages.upload_file_resp(
        request_id=session.request_id, file_guid=file_guid, chunk_offset=session.held))


def _complete(emu, session):
    session.file_guid = str(uuid.uuid4())
    record = {
        "name": session.name, "parentPath": session.parent, "modifiedTime": session.mtime,
        "size": session.size, "sha256": session.sha.hexdigest(), "share": session.share,
        "requestId": session.request_id, "fileGUID": session.file_guid,
        "chunks": session.chunks, "listener": session.listener,
        "content_base64": (base64.b64encode(bytes(session.data)).decode("ascii")
                           if session.data is not None else None),
    }
    session.data = None
    emu.files.append(record)


def routes(emu):
    return [
        Route("POST", SETUP_PATH, "folder_setup", handle_setup),
        Route("POST", CREATE_FOLDER_PATH, "create_folder", handle_create_folder),
        Route("POST", UPLOAD_PATH, upload_kind, handle_upload),
    ]
