"""Blob service endpoints of the emulator.

Web console (session token required):
  POST /api/zudrbackup/setup                                  (API mode)
  POST /api/Workflow/Setup_DRBackup_ZUCloudV3/Action/Execute  (workflow mode)
      -> <SetupResult><AzureSASServiceURL>..</AzureSASServiceURL>
         <AzureSASToken>..</AzureSASToken></SetupResult>
  POST /api/zudrbackup/finalize                               (API mode)
  POST /api/Workflow/Finalize_DRBackup_ZUCloud/Action/Execute (workflow mode)
      -> <FinalizeResult><isSuccess>true|false</isSuccess>..</FinalizeResult>
Azure Functions (no token):
  POST /azfunc/api/Setup     JSON -> containerCreated, URL, one SAS per file
  POST /azfunc/api/Finalize  JSON -> isSuccess

The set-up creates a container in Azurite named after the deployment GUID and
hands out the storage proxy's URL for it, so every block the client sends
passes the proxy.  Finalize succeeds only when every reported file exists in
Azurite with exactly the reported size at the reported URL.

Test knobs in emu.config: "<kind>_reply" replaces the reply body (the texts
{service_url}, {sas}, {container} and {proxy_base} in it are filled in),
"<kind>_status" the HTTP status, for the kinds blob_setup, blob_finalize,
af_setup and af_finalize.  "sas_lifetime_seconds" (a positive whole number,
default SAS_LIFETIME_SECONDS) is how long the SAS tokens of the set-ups
(API, workflow and Azure Functions) stay valid: their "se", which Azurite
checks, so that a test can have a token expire during an upload.
"sas_permissions" (letters of "racwdl", default SAS_PERMISSIONS) is their
"sp": "cw" hands out a write-only token, which Azurite serves Put Block,
Put Blob and Put Block List and refuses every read (Get Block List, Get Blob
Properties) with 403 AuthorizationPermissionMismatch.

State: emu.state["blob"] = {"setups": [...], "containers": {guid: name}};
every finalize (and Azure Functions set-up) request is appended, parsed, to
emu.completions.
"""

import hashlib
import json
import re
import urllib.parse
import uuid
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

from .exchange import Response, Route
from . import azstore

SAS_LIFETIME_SECONDS = 12 * 3600
SAS_PERMISSIONS = "racwdl"
MAX_REQUEST_BYTES = 16 * 1024 * 1024


def sas_lifetime(emu):
    """Seconds the set-ups' SAS tokens stay valid: the "sas_lifetime_seconds"
    knob when it is a positive whole number, else SAS_LIFETIME_SECONDS."""
    with emu.lock:
        value = emu.config.get("sas_lifetime_seconds")
    if isinstance(value, int) and not isinstance(value, bool) and value > 0:
        return value
    return SAS_LIFETIME_SECONDS


def sas_permissions(emu):
    """The "sp" of the set-ups' SAS tokens: the "sas_permissions" knob when
    it is a non-empty string of distinct letters of SAS_PERMISSIONS (kept in
    that order, as the service expects them), else SAS_PERMISSIONS."""
    with emu.lock:
        value = emu.config.get("sas_permissions")
    if (not isinstance(value, str) or not value or len(set(value)) != len(value)
            or any(c not in SAS_PERMISSIONS for c in value)):
        return SAS_PERMISSIONS
    return "".join(c for c in SAS_PERMISSIONS if c in value)


def _container_sas(emu, container, extra_seconds=0):
    """The SAS of a set-up for `container`, by the knobs above."""
    return azstore.container_sas(container, permissions=sas_permissions(emu),
                                 expiry_seconds=sas_lifetime(emu) + extra_seconds)


_FORBIDDEN_XML = re.compile(rb"<!\s*(DOCTYPE|ENTITY)", re.IGNORECASE)


class BadRequest(ValueError):
    pass


# -- helpers -----------------------------------------------------------------

def container_for_guid(guid):
    """A valid container name (3-63 of a-z, 0-9 and single inner hyphens)
    derived from the deployment GUID; deterministic."""
    name = re.sub(r"[^a-z0-9-]", "-", guid.strip().lower())
    name = re.sub(r"-{2,}", "-", name).strip("-")
    if len(name) < 3:
        name = "dr-" + hashlib.sha256(guid.encode("utf-8")).hexdigest()[:16]
    return name[:63].rstrip("-")


def parse_xml(body):
    """Parses a request body; refuses DTDs and entity declarations (no
    expansion or external fetch can happen) and oversized documents."""
    if len(body) > MAX_REQUEST_BYTES:
        raise BadRequest("request too large")
    if not body.strip():
        raise BadRequest("empty request body")
    if _FORBIDDEN_XML.search(body):
        raise BadRequest("DOCTYPE and entity declarations are not accepted")
    try:
        return ET.fromstring(body)
    except ET.ParseError as exc:
        raise BadRequest("request is not well-formed XML: %s" % exc) from None


def parse_json(body):
    if len(body) > MAX_REQUEST_BYTES:
        raise BadRequest("request too large")
    try:
        text = body.decode("utf-8")
        obj = json.loads(text)
    except (UnicodeDecodeError, ValueError) as exc:
        raise BadRequest("request is not JSON: %s" % exc) from None
    if not isinstance(obj, dict):
        raise BadRequest("request is not a JSON object")
    return obj, text


def _text(elem):
    return "".join(elem.itertext()) if elem is not None else ""


def _int_or_text(text):
    try:
        return int(text)
    except (TypeError, ValueError):
        return text


def workflow_inputs(root):
    """The <inputs> element of a Workflow_StartWorkflow document."""
    if root.tag != "Workflow_StartWorkflow":
        raise BadRequest("expected <Workflow_StartWorkflow>, got <%s>"
                         % root.tag)
    inputs = root.find("options/inputs")
    if inputs is None:
        raise BadRequest("no <options><inputs> element")
    return inputs


def _state(emu):
    with emu.lock:
        return emu.state.setdefault("blob", {"setups": [], "containers": {}})


def _record(emu, item):
    with emu.lock:
        emu.completions.append(item)


def _override(emu, kind, values):
    """(body, status) from emu.config when a test overrides this reply."""
    with emu.lock:
        reply = emu.config.get(kind + "_reply")
        status = emu.config.get(kind + "_status")
    if reply is not None and not isinstance(reply, str):
        reply = json.dumps(reply)
    if reply is not None:
        for key, value in values.items():
            reply = reply.replace("{%s}" % key, value)
    return reply, (int(status) if status is not None else None)


def _xml(status, body):
    return Response(status, body, "application/xml")


def _json(status, obj):
    return Response(status, json.dumps(obj), "application/json")


def _create_container(emu, guid):
    """Creates the GUID's container; returns (container, service URL)."""
    if emu.storage is None or emu.proxy_base is None:
        raise RuntimeError("the emulator runs without storage "
                           "(start it with --with-storage)")
    container = container_for_guid(guid)
    emu.storage.create_container(container)
    state = _state(emu)
    with emu.lock:
        state["containers"][guid] = container
    return container, "%s/%s" % (emu.proxy_base, container)


def check_file(emu, url, size):
    """None when a committed blob of exactly `size` bytes lives at `url`
    (proxy base + "/" + container + "/" + blob name, URL-decoded), else the
    reason why not."""
    if emu.storage is None or emu.proxy_base is None:
        return "no storage"
    base = emu.proxy_base.rstrip("/") + "/"
    if not url.startswith(base):
        return "URL %s is not below the storage service URL %s" % (url, base)
    rest = urllib.parse.urlsplit(url[len(base):])
    if rest.query:
        return "URL %s carries a query" % url
    container, sep, name = urllib.parse.unquote(rest.path).partition("/")
    if not container or not sep or not name:
        return "URL %s names no blob" % url
    try:
        actual = emu.storage.blob_size(container, name)
    except Exception as exc:  # storage trouble must not kill the handler
        return "storage error for %s: %s" % (url, exc)
    if actual is None:
        return "no blob at %s" % url
    if not isinstance(size, int) or isinstance(size, bool) or actual != size:
        return "blob at %s has %d bytes, reported %r" % (url, actual, size)
    return None


# -- web console: set-up -----------------------------------------------------

def _setup_error(message):
    return "<SetupResult><errorMessage>%s</errorMessage></SetupResult>" % \
        escape(message)


def handle_setup(emu, req, match, mode):
    try:
        inputs = workflow_inputs(parse_xml(req.body))
    except BadRequest as exc:
        return _xml(400, _setup_error(str(exc)))
    guid = _text(inputs.find("VestrumGUID"))
    request = {
        "mode": mode, "guid": guid,
        "set_id": _text(inputs.find("SetID")),
        "job_id": _int_or_text(_text(inputs.find("JobId"))),
        "backup_level": _int_or_text(_text(inputs.find("BackupLevel"))),
        "full_job_id": _int_or_text(_text(inputs.find("FullJobId"))),
        "query": req.raw_query,
    }
    state = _state(emu)
    with emu.lock:
        state["setups"].append(request)

    values = {"proxy_base": emu.proxy_base or ""}
    if guid.strip():
        try:
            container, service_url = _create_container(emu, guid)
        except Exception as exc:
            body = _setup_error("Failed to create the storage container: %s"
                                % exc)
            reply, status = _override(emu, "blob_setup", values)
            return _xml(status or 200, reply if reply is not None else body)
        sas = _container_sas(emu, container)
        values.update(service_url=service_url, sas=sas, container=container)
        request["container"] = container
        body = ("<SetupResult><AzureSASServiceURL>%s</AzureSASServiceURL>"
                "<AzureSASToken>%s</AzureSASToken></SetupResult>"
                % (escape(service_url), escape(sas)))
    else:
        body = _setup_error("VestrumGUID must not be empty.")
    reply, status = _override(emu, "blob_setup", values)
    return _xml(status or 200, reply if reply is not None else body)


# -- web console: finalize -----------------------------------------------------

def parse_finalize(inputs):
    """GUID, job id, backup level and the FileName/FileSize/FullFilePath
    triples of a finalize request, in document order."""
    files = []
    current = None
    for child in inputs:
        tag, text = child.tag, _text(child)
        if tag == "FileName":
            current = {"name": text, "size": None, "url": None}
            files.append(current)
        elif tag in ("FileSize", "FullFilePath"):
            if current is None or current["size" if tag == "FileSize"
                                           else "url"] is not None:
                # A size or path without its own FileName: keep it visible.
                current = {"name": None, "size": None, "url": None}
                files.append(current)
            if tag == "FileSize":
                current["size"] = _int_or_text(text)
            else:
                current["url"] = text
    return {
        "guid": _text(inputs.find("VestrumGUID")),
        "job_id": _int_or_text(_text(inputs.find("JobId"))),
        "backup_level": _int_or_text(_text(inputs.find("BackupLevel"))),
        "files": files,
    }


def _verify_files(emu, files):
    """Error text for the first file that is not in storage as reported."""
    for f in files:
        if f.get("name") is None or f.get("url") is None:
            return "incomplete file entry %r" % (f,)
        problem = check_file(emu, f["url"], f["size"])
        if problem is not None:
            return "File %s: %s" % (f["name"], problem)
    return None


def _finalize_reply(success, message=None):
    if success:
        return "<FinalizeResult><isSuccess>true</isSuccess></FinalizeResult>"
    return ("<FinalizeResult><isSuccess>false</isSuccess>"
            "<errorMessage>%s</errorMessage></FinalizeResult>"
            % escape(message or ""))


def handle_finalize(emu, req, match, mode):
    try:
        parsed = parse_finalize(workflow_inputs(parse_xml(req.body)))
    except BadRequest as exc:
        return _xml(400, _finalize_reply(False, str(exc)))
    record = dict(mode=mode, query=req.raw_query, **parsed)
    record["raw"] = req.body.decode("utf-8", "replace")
    if not parsed["guid"]:
        problem = "VestrumGUID must not be empty."
    else:
        problem = _verify_files(emu, parsed["files"])
    record["verified"] = problem is None
    _record(emu, record)
    reply, status = _override(emu, "blob_finalize",
                              {"proxy_base": emu.proxy_base or ""})
    if reply is None:
        reply = _finalize_reply(problem is None, problem)
    return _xml(status or 200, reply)


# -- Azure Functions -----------------------------------------------------------

def _af_error(message):
    return {"containerCreated": False, "errorMessage": message,
            "invocationId": str(uuid.uuid4())}


def handle_af_setup(emu, req, match):
    try:
        obj, text = parse_json(req.body)
    except BadRequest as exc:
        return _json(400, _af_error(str(exc)))
    guid = obj.get("VestrumGUID")
    files = obj.get("Files")
    names = []
    if isinstance(files, list):
        names = [f.get("Name") for f in files if isinstance(f, dict)]
    record = {
        "mode": "af_setup", "raw": text, "request": obj,
        "guid": guid, "vestrum_id": obj.get("VestrumId"),
        "set_id": obj.get("SetId"), "job_id": obj.get("JobId"),
        "backup_level": obj.get("BackupLevel"),
        "full_job_id": obj.get("FullJobId"), "files": names,
    }
    values = {"proxy_base": emu.proxy_base or ""}
    status, reply = 200, None
    if not isinstance(guid, str) or not guid.strip():
        reply = _af_error("VestrumGUID is required.")
    else:
        try:
            container, service_url = _create_container(emu, guid)
        except Exception as exc:
            status = 500
            reply = _af_error("Failed to create the storage container: %s"
                              % exc)
        else:
            # One token per file; each differs (by its expiry) so tests can
            # tell which token a file was uploaded with.
            tokens = []
            for i, name in enumerate(n for n in names
                                     if isinstance(n, str)):
                tokens.append({"name": name,
                               "sasToken": _container_sas(emu, container, i)})
            record["container"] = container
            record["tokens"] = tokens
            values.update(service_url=service_url, container=container,
                          sas=tokens[0]["sasToken"] if tokens else
                          _container_sas(emu, container))
            reply = {"containerCreated": True,
                     "azureSASServiceURL": service_url,
                     "azureSASTokens": tokens}
    _record(emu, record)
    override, override_status = _override(emu, "af_setup", values)
    if override is not None:
        return Response(override_status or status, override,
                        "application/json")
    return _json(override_status or status, reply)


def handle_af_finalize(emu, req, match):
    invocation = str(uuid.uuid4())
    try:
        obj, text = parse_json(req.body)
    except BadRequest as exc:
        return _json(400, {"isSuccess": False, "errorMessage": str(exc),
                           "invocationId": invocation})
    files = obj.get("Files")
    entries = []
    problem = None
    if not isinstance(files, list):
        problem = "Files must be an array"
    else:
        for f in files:
            if not isinstance(f, dict):
                problem = problem or "Files holds a non-object"
                continue
            entries.append({"name": f.get("Name"), "size": f.get("Size"),
                            "url": f.get("Url")})
    guid = obj.get("VestrumGUID")
    if problem is None and (not isinstance(guid, str) or not guid.strip()):
        problem = "VestrumGUID is required."
    if problem is None:
        for e in entries:
            if not isinstance(e["name"], str) or not isinstance(e["url"], str):
                problem = "incomplete file entry %r" % (e,)
                break
            why = check_file(emu, e["url"], e["size"])
            if why is not None:
                problem = "File %s: %s" % (e["name"], why)
                break
    record = {
        "mode": "af_finalize", "raw": text, "request": obj, "guid": guid,
        "vestrum_id": obj.get("VestrumId"), "job_id": obj.get("JobId"),
        "backup_level": obj.get("BackupLevel"), "files": entries,
        "verified": problem is None,
    }
    _record(emu, record)
    override, status = _override(emu, "af_finalize",
                                 {"proxy_base": emu.proxy_base or ""})
    if override is not None:
        return Response(status or 200, override, "application/json")
    if problem is None:
        return _json(status or 200, {"isSuccess": True})
    return _json(status or 200, {"isSuccess": False, "errorMessage": problem,
                                 "invocationId": invocation})


# -- registration ----------------------------------------------------------------

def routes(emu):
    return [
        Route("POST", r"/api/zudrbackup/setup", "blob_setup",
              lambda e, r, m: handle_setup(e, r, m, "api")),
        Route("POST", r"/api/Workflow/Setup_DRBackup_ZUCloudV3/Action/Execute",
              "blob_setup",
              lambda e, r, m: handle_setup(e, r, m, "workflow")),
        Route("POST", r"/api/zudrbackup/finalize", "blob_finalize",
              lambda e, r, m: handle_finalize(e, r, m, "api")),
        Route("POST",
              r"/api/Workflow/Finalize_DRBackup_ZUCloud/Action/Execute",
              "blob_finalize",
              lambda e, r, m: handle_finalize(e, r, m, "workflow")),
        Route("POST", r"/azfunc/api/Setup", "af_setup", handle_af_setup,
              needs_auth=False),
        Route("POST", r"/azfunc/api/Finalize", "af_finalize",
              handle_af_finalize, needs_auth=False),
    ]
