"""The console emulator's control API (/_emu/... on the console listener):
what tests read (journal, files, completions, state, strays, blobs) and
set (faults, knobs, the storage proxy's mode)."""

import hashlib
import json
import traceback
import urllib.parse

from .exchange import HttpError, Response, json_default, json_response

# Kinds whose faults belong to the storage proxy.
PROXY_FAULT_KINDS = ("put_block", "put_block_list", "get_block_list", "put_blob")


def answer(emu, method, path, raw_query, body):
    """The control API's reply to one request."""
    query = dict(urllib.parse.parse_qsl(raw_query, keep_blank_values=True))
    try:
        data = json.loads(body.decode("utf-8")) if body.strip() else None
    except (ValueError, UnicodeDecodeError):
        return json_response({"error": "body is not JSON"}, 400)
    try:
        return _endpoint(emu, method, path, query, data)
    except HttpError as exc:
        return json_response({"error": exc.text}, exc.status)
    except Exception as exc:
        traceback.print_exc()
        return json_response({"error": "%s: %s" % (type(exc).__name__, exc)}, 500)


def _need(cond, status, text):
    if not cond:
        raise HttpError(status, text)


def _endpoint(emu, method, path, query, data):
    route = (method, path.rstrip("/"))
    if route == ("GET", "/_emu/journal"):
        return json_response(emu.journal_entries(query.get("kind")))
    if route == ("POST", "/_emu/reset"):
        emu.reset()
        return json_response({"ok": True})
    if route == ("POST", "/_emu/fault"):
        _need(isinstance(data, dict) and data.get("kind") and data.get("fault"), 400,
              "expected {\"kind\": k, \"fault\": f, ...}")
        kind = data["kind"]
        if kind in PROXY_FAULT_KINDS:
            _need(emu.proxy is not None, 409, "no storage proxy running")
            fault = dict(data)
            fault.pop("kind")
            try:
                emu.proxy.inject(kind, fault)
            except ValueError as exc:
                raise HttpError(400, str(exc)) from None
        else:
            try:
                emu.add_fault(kind, data)
            except ValueError as exc:
                raise HttpError(400, str(exc)) from None
        return json_response({"ok": True})
    if route == ("GET", "/_emu/faults"):
        return json_response(emu.pending_faults())
    if route == ("GET", "/_emu/strays"):
        with emu.lock:
            strays = {"console": emu.strays.counts()}
        strays["storage"] = emu.proxy.strays() if emu.proxy is not None else None
        strays["pending"] = strays["console"]["pending"] + (
            strays["storage"]["pending"] if strays["storage"] else 0)
        return json_response(strays)
    if route == ("GET", "/_emu/files"):
        with emu.lock:
            return json_response(list(emu.files))
    if route == ("GET", "/_emu/completions"):
        with emu.lock:
            return json_response(list(emu.completions))
    if route == ("GET", "/_emu/state"):
        with emu.lock:
            return Response(200, json.dumps(emu.state, default=json_default), "application/json")
    if route == ("GET", "/_emu/config"):
        with emu.lock:
            return json_response(dict(emu.config))
    if route == ("POST", "/_emu/config"):
        _need(isinstance(data, dict), 400, "expected a JSON object of knobs")
        with emu.lock:
            for k, v in data.items():
                if v is None:
                    emu.config.pop(k, None)
                else:
                    emu.config[k] = v
            return json_response(dict(emu.config))
    if route == ("GET", "/_emu/folders"):
        with emu.lock:
            return json_response(list(emu.state.get("folder", {}).get("folders", [])))
    if route == ("GET", "/_emu/proxy/stats"):
        _need(emu.proxy is not None, 409, "no storage proxy running")
        return json_response(emu.proxy.stats())
    if route == ("GET", "/_emu/proxy/journal"):
        _need(emu.proxy is not None, 409, "no storage proxy running")
        return json_response(emu.proxy.journal(query.get("kind")))
    if route == ("POST", "/_emu/proxy/strict"):
        _need(emu.proxy is not None, 409, "no storage proxy running")
        _need(isinstance(data, dict) and isinstance(data.get("strict"), bool), 400,
              "expected {\"strict\": bool}")
        emu.proxy.set_strict(data["strict"])
        return json_response({"ok": True})
    if route == ("POST", "/_emu/proxy/idle_timeout"):
        _need(emu.proxy is not None, 409, "no storage proxy running")
        _need(isinstance(data, dict) and (data.get("seconds") is None or
                                          isinstance(data.get("seconds"), (int, float))),
              400, "expected {\"seconds\": number or null}")
        emu.proxy.set_idle_timeout(data.get("seconds"))
        return json_response({"ok": True})
    if route == ("GET", "/_emu/blob"):
        _need(emu.storage is not None, 409, "no storage running")
        container, name = query.get("container"), query.get("name")
        _need(container and name, 400, "container and name are required")
        content = emu.storage.get_blob(container, name)
        if content is None:
            return json_response({"exists": False, "size": None, "sha256": None,
                                  "block_list": [], "content_md5": None,
                                  "access_tier": None})
        blocks = emu.storage.committed_block_list(container, name)
        # Content-MD5 and x-ms-access-tier as Get Blob Properties answers.
        props = emu.storage.blob_properties(container, name) or {}
        return json_response({"exists": True, "size": len(content),
                              "sha256": hashlib.sha256(content).hexdigest(),
                              "block_list": [[bid, size] for bid, size in blocks],
                              "content_md5": props.get("content-md5"),
                              "access_tier": props.get("x-ms-access-tier")})
    if route == ("GET", "/_emu/blobs"):
        _need(emu.storage is not None, 409, "no storage running")
        _need(query.get("container"), 400, "container is required")
        return json_response(emu.storage.list_blobs(query["container"]))
    if route == ("GET", "/_emu/info"):
        return json_response({"console_base": emu.console_base, "upload_base": emu.upload_base,
                              "prefix": emu.prefix, "proxy_base": emu.proxy_base})
    raise HttpError(404, "no control endpoint %s %s" % (method, path))
