"""What the storage proxy makes of a storage request: its kind, the storage
service's error body, and the count of ids in a block list.

Request kinds: PUT ...?comp=block -> "put_block", PUT ...?comp=blocklist ->
"put_block_list", GET ...?comp=blocklist -> "get_block_list", PUT of a blob
without comp (Put Blob) -> "put_blob", everything else "storage_other".
"""

import datetime
import uuid
import xml.etree.ElementTree as ET

MAX_BLOCKS_PER_LIST = 50000
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

