"""What the request handlers of the console emulator (console_handler.py)
and of the storage proxy (proxy_relay.py) share."""


def body_text(body, limit):
    """A request body as its journal entry keeps it: the text, or None when
    the body is longer than `limit` bytes or not UTF-8."""
    if len(body) > limit:
        return None
    try:
        return body.decode("utf-8")
    except UnicodeDecodeError:
        return None


def flush_before_close(handler):
    """Marks the connection of `handler` (a BaseHTTPRequestHandler) to close
    and sends what is written so far, unless the client has gone."""
    handler.close_connection = True
    try:
        handler.wfile.flush()
    except OSError:
        pass
