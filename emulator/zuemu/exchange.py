"""What the console emulator's handlers and its core exchange: the parsed
request, the reply, the route that joins an endpoint to its handler, JSON
replies, the errors that end a request early, and the emulator's log line."""

import base64
import json
import re
import sys
import urllib.parse

# The Server header of every console reply (and of a stray one).
SERVER_VERSION = "zuemu/1.0"


def log(fmt, *args):
    sys.stderr.write("zuemu: " + (fmt % args if args else fmt) + "\n")
    sys.stderr.flush()


class Request:
    """One parsed request as handlers see it."""

    def __init__(self, method, full_path, path, raw_query, headers, body, listener):
        self.method = method
        self.full_path = full_path
        self.path = path
        self.raw_query = raw_query
        self.query = dict(urllib.parse.parse_qsl(raw_query, keep_blank_values=True))
        self.headers = headers
        self.body = body
        self.listener = listener
        self.token_user = None
        self.fault = None

    def header(self, name):
        """Value of the first header called `name` (any case), or None."""
        low = name.lower()
        for k, v in self.headers:
            if k.lower() == low:
                return v
        return None


class Response:
    def __init__(self, status=200, body=b"", content_type="application/xml", headers=None):
        self.status = int(status)
        self.body = body.encode("utf-8") if isinstance(body, str) else bytes(body)
        self.content_type = content_type
        self.headers = list(headers or [])


class Route:
    """`kind` is the request kind for journal and faults: a string, or a
    callable(req) -> str for endpoints whose kind depends on query or body."""

    def __init__(self, method, pattern, kind, handler, needs_auth=True):
        self.method = method.upper()
        self.pattern = pattern
        self.regex = re.compile(pattern)
        self.kind = kind
        self.handler = handler
        self.needs_auth = needs_auth

    def kind_for(self, req):
        return self.kind(req) if callable(self.kind) else self.kind


def json_response(obj, status=200):
    return Response(status, json.dumps(obj, default=json_default), "application/json")


def json_default(obj):
    """JSON for module state: objects may offer to_json(); bytes go base64."""
    if hasattr(obj, "to_json"):
        return obj.to_json()
    if isinstance(obj, (bytes, bytearray)):
        return base64.b64encode(bytes(obj)).decode("ascii")
    if isinstance(obj, (set, tuple)):
        return list(obj)
    return str(obj)


class AbortConnection(Exception):
    """Raised to drop the connection without (a complete) reply."""


class HttpError(Exception):
    """Ends a request with `status` and the plain-text reply `text`."""

    def __init__(self, status, text):
        super().__init__(text)
        self.status = status
        self.text = text
