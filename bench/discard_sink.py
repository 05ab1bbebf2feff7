"""A discard sink for the upload benchmarks: Debian's nginx, run as a
foreground process of the benchmark's own with its configuration in a
scratch directory, listening on 127.0.0.1.

With tls it listens for https with a throw-away certificate instead. It
answers 201 Created to every PUT (Put Block and Put Block List alike)
and throws the body away as it arrives (no size limit, nothing buffered to
disk). nginx answers as soon as it has the request's headers and reads the
rest of the body after that, before the next request on the connection; the
client's request still ends only when it has written its last byte, so the
early answer shifts at most a socket buffer's worth between requests. Any
other request gets 404 BlobNotFound, so an uploader that asks
for a blob's blocks first starts from nothing. Each request leaves one line
in an access log without its query string (the SAS stays out of it): the
method, the "comp" and "blockid" parameters, the Content-Length and the
status; the benchmarks check from it that every byte
arrived and read the block size off it.
"""

import os
import shutil
import signal
import socket
import subprocess
import time

from certificates import make_certificates
from processes import end_process

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"

# What every nginx the benchmarks start shares: one process in the
# foreground, its pid, log and scratch files in {dir}. Each configuration
# goes on with the rest of its http block.
NGINX_PREAMBLE = """\
daemon off;
master_process off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
"""

CONFIG = NGINX_PREAMBLE + """\
    log_format sink '$request_method $arg_comp $arg_blockid $content_length $status';
    access_log {dir}/access.log sink;
    client_max_body_size 0;
    client_body_buffer_size 1m;
    proxy_request_buffering off;
    keepalive_requests 1000000;
    keepalive_timeout 300s;
    lingering_time 3600s;
    lingering_timeout 300s;
    server {{
        listen 127.0.0.1:{port}{tls};
        location / {{
            if ($request_method = PUT) {{
                return 201;
            }}
            add_header x-ms-error-code BlobNotFound always;
            return 404 '<?xml version="1.0" encoding="utf-8"?><Error><Code>BlobNotFound</Code><Message>The specified blob does not exist.</Message></Error>';
        }}
    }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(directory, config, what):
    """Starts nginx with `directory` as its prefix and the configuration
    config(port) for a free loopback port; returns (process, port) once the
    port takes connections. Another port is tried when it does not come up,
    since the port may be taken between choosing and binding; after five
    tries RuntimeError says that `what` did not start."""
    last_error = None
    for _ in range(5):
        port = free_port()
        conf = os.path.join(directory, "nginx.conf")
        with open(conf, "w") as f:
            f.write(config(port))
        with open(os.path.join(directory, "stderr.log"), "ab") as err:
            proc = subprocess.Popen([NGINX, "-p", directory, "-c", conf,
                                     "-e", os.path.join(directory, "error.log")],
                                    stdout=err, stderr=err)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and proc.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                return proc, port
            except OSError:
                time.sleep(0.05)
        last_error = "%s did not start (exit %r); see %s" % (what, proc.poll(), directory)
        end_process(proc, signal.SIGQUIT)
    raise RuntimeError(last_error)


# With tls: https with a throw-away certificate (bench/certificates.py).
TLS = """ ssl;
        ssl_certificate {dir}/server.pem;
        ssl_certificate_key {dir}/server.key"""


class DiscardSink:
    def __init__(self, work, tls=False):
        self.tls = tls
        self.dir = os.path.join(work, "sink-tls" if tls else "sink")
        self.proc = None
        self.port = None

    @property
    def ca_file(self):
        """The CA that signs the https sink's certificate (None over http)."""
        return os.path.join(self.dir, "ca.pem") if self.tls else None

    @property
    def access_log(self):
        return os.path.join(self.dir, "access.log")

    def start(self):
        os.makedirs(self.dir, exist_ok=True)
        if self.tls:
            make_certificates(self.dir)
        tls = TLS.format(dir=self.dir) if self.tls else ""
        self.proc, self.port = start_nginx(
            self.dir, lambda port: CONFIG.format(dir=self.dir, port=port, tls=tls), "nginx")
        return self

    def stop(self):
        if self.proc is None:
            return
        end_process(self.proc, signal.SIGQUIT)  # finish the log, then exit
        self.proc = None

    @property
    def base(self):
        """The account URL: a container URL is this plus "/" and its name."""
        return "%s://127.0.0.1:%d/devstoreaccount1" % ("https" if self.tls else "http",
                                                       self.port)

    def log_offset(self):
        try:
            return os.path.getsize(self.access_log)
        except OSError:
            return 0

    def requests_since(self, offset):
        """Access-log entries written after `offset`, as dicts."""
        entries = []
        try:
            with open(self.access_log) as f:
                f.seek(offset)
                for line in f:
                    method, comp, block_id, length, status = line.split()
                    entries.append({"method": method, "comp": comp, "blockid": block_id,
                                    "length": 0 if length == "-" else int(length),
                                    "status": int(status)})
        except OSError:
            pass
        return entries
