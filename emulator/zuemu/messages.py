"""XML form of the web console's structured messages.

Wire rules: UTF-8, no namespace, optional XML declaration; the root element is
the message class name; each field is a child element; a nested message field
holds the nested message's field elements directly; a list field holds one
element per entry named by the entry's class.

Parsing is hardened: documents with a DOCTYPE or entity declarations are
refused before they reach the parser, so no entity expansion or external
fetch can happen whatever the expat version does by default.
"""

import re
import xml.etree.ElementTree as ET

XML_DECLARATION = '<?xml version="1.0" encoding="utf-8"?>'


class XmlError(ValueError):
    """Raised for text that is not a well-formed, acceptable message."""


_FORBIDDEN = re.compile(rb"<!\s*(DOCTYPE|ENTITY)", re.IGNORECASE)


def parse_xml(data):
    """Parses bytes or str into an Element; raises XmlError on anything odd."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    if not data or not data.strip():
        raise XmlError("empty document")
    if _FORBIDDEN.search(data):
        raise XmlError("DOCTYPE and entity declarations are not accepted")
    try:
        return ET.fromstring(data)
    except ET.ParseError as exc:
        raise XmlError("not well-formed: %s" % exc) from None


def element_text(elem):
    """All text below `elem`, concatenated (like a DOM textContent)."""
    return "".join(elem.itertext()) if elem is not None else ""


def child_text(root, tag, default=""):
    """Text of the first direct child named `tag`, or `default` when absent."""
    elem = root.find(tag)
    return element_text(elem) if elem is not None else default


def parse_message(data, root_name):
    """Parses a flat message: returns {child tag: text} of the root's direct
    children (first occurrence wins). Raises XmlError when the root element
    is not `root_name`."""
    root = parse_xml(data)
    if root.tag != root_name:
        raise XmlError("expected root <%s>, got <%s>" % (root_name, root.tag))
    fields = {}
    for child in root:
        if isinstance(child.tag, str) and child.tag not in fields:
            fields[child.tag] = element_text(child)
    return fields


def _escape(text):
    return (str(text).replace("&", "&amp;").replace("<", "&lt;")
            .replace(">", "&gt;"))


def _el(tag, text):
    return "<%s>%s</%s>" % (tag, _escape(text), tag)


def _doc(body, declaration):
    return (XML_DECLARATION + body) if declaration else body


# --- login ---------------------------------------------------------------

def check_credential_req(user_name, password_b64, extra=""):
    return ("<CheckCredentialReq>" + _el("userName", user_name)
            + _el("password", password_b64) + _el("extraCredential", extra)
            + "</CheckCredentialReq>")


def parse_check_credential_req(data):
    """-> {"userName", "password", "extraCredential"} (absent fields read "")."""
    fields = parse_message(data, "CheckCredentialReq")
    return {k: fields.get(k, "") for k in ("userName", "password", "extraCredential")}


def check_credential_resp(session_token="", errors=(), declaration=False):
    """A credential-check reply. An empty `errors` still writes an empty error
    list element (the list exists but has no entries)."""
    entries = "".join("<Error>" + _el("errorText", e) + "</Error>" for e in errors)
    body = ("<CheckCredentialResp><errors>" + entries + "</errors>"
            + _el("sessionToken", session_token) + "</CheckCredentialResp>")
    return _doc(body, declaration)


def parse_check_credential_resp(data):
    """-> {"errors": [text, ...] or None, "sessionToken": str}."""
    root = parse_xml(data)
    if root.tag != "CheckCredentialResp":
        raise XmlError("expected root <CheckCredentialResp>, got <%s>" % root.tag)
    errors_el = root.find("errors")
    errors = None
    if errors_el is not None:
        errors = [child_text(e, "errorText") for e in errors_el.findall("Error")]
    return {"errors": errors, "sessionToken": child_text(root, "sessionToken")}


# --- folders -------------------------------------------------------------

_RESOURCE_FIELDS = ("name", "parentPath", "folderGUID", "folderDetail")


def file_resource_info(name="", parent_path=""):
    return ("<FileResourceInfo>" + _el("name", name) + _el("parentPath", parent_path)
            + "</FileResourceInfo>")


def parse_file_resource_info(data):
    """-> {"name", "parentPath", "folderGUID", "folderDetail"}."""
    fields = parse_message(data, "FileResourceInfo")
    return {k: fields.get(k, "") for k in _RESOURCE_FIELDS}


def generic_resp(error_text, declaration=False):
    return _doc("<GenericResp>" + _el("errorText", error_text) + "</GenericResp>",
                declaration)


def file_resource_response(resource=None, status_error=None, declaration=True):
    """`resource`: dict with any of the FileResourceInfo fields (written in
    field order); `status_error`: text for the nested GenericResp, or None to
    leave the status part out."""
    body = "<FileResourceResponse>"
    if resource is not None:
        body += "<resource>" + "".join(
            _el(k, resource[k]) for k in _RESOURCE_FIELDS if k in resource) + "</resource>"
    if status_error is not None:
        body += "<status>" + _el("errorText", status_error) + "</status>"
    body += "</FileResourceResponse>"
    return _doc(body, declaration)


def parse_file_resource_response(data):
    """-> {"resource": dict or None, "status": {"errorText"} or None}."""
    root = parse_xml(data)
    if root.tag != "FileResourceResponse":
        raise XmlError("expected root <FileResourceResponse>, got <%s>" % root.tag)
    res = root.find("resource")
    st = root.find("status")
    return {
        "resource": None if res is None else {k: child_text(res, k) for k in _RESOURCE_FIELDS},
        "status": None if st is None else {"errorText": child_text(st, "errorText")},
    }


# --- chunked upload ------------------------------------------------------

def upload_file_resp(request_id=None, file_guid=None, chunk_offset=None, declaration=False):
    """Only the fields given (not None) are written, in field order."""
    body = "<UploadFileResp>"
    if request_id is not None:
        body += _el("requestId", request_id)
    if file_guid is not None:
        body += _el("fileGUID", file_guid)
    if chunk_offset is not None:
        body += _el("chunkOffset", "%d" % int(chunk_offset))
    body += "</UploadFileResp>"
    return _doc(body, declaration)


def parse_upload_file_resp(data):
    """-> {"requestId", "fileGUID", "chunkOffset" (int, 0 when absent)}.
    Raises XmlError on a chunkOffset that is not a signed decimal number."""
    fields = parse_message(data, "UploadFileResp")
    offset_text = fields.get("chunkOffset", "").strip()
    if offset_text and not re.fullmatch(r"[+-]?[0-9]+", offset_text):
        raise XmlError("chunkOffset is not a number: %r" % offset_text)
    return {
        "requestId": fields.get("requestId", ""),
        "fileGUID": fields.get("fileGUID", ""),
        "chunkOffset": int(offset_text) if offset_text else 0,
    }
