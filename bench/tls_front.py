"""An https front for the upload benchmarks: Debian's nginx terminating TLS
on 127.0.0.1 with a throw-away certificate and passing every request on to
one plain-http upstream (Azurite), as the storage service's https endpoint
does; the benchmarks put the WAN-like link between the client and this
front, so every TCP and TLS handshake crosses the link.

The certificate is a throw-away one (bench/certificates.py): its CA, ca.pem,
is what the library trusts through ZUCLOUD_CA_FILE and the SDK through its
connection_verify option. nginx keeps its upstream connections open (keepalive), so what the
benchmark measures across the link is the client's own connection handling:
handshakes, round trips, reuse.
"""

import os
import signal
import socket
import subprocess
import time

from certificates import make_certificates
from discard_sink import NGINX, NGINX_PREAMBLE, free_port
from processes import end_process

CONFIG = NGINX_PREAMBLE + """\
    access_log off;
    client_max_body_size 0;
    proxy_request_buffering off;
    proxy_buffering off;
    keepalive_requests 1000000;
    keepalive_timeout 300s;
    upstream store {{
        server 127.0.0.1:{upstream};
        keepalive 32;
    }}
    server {{
        listen 127.0.0.1:{port} ssl;
        ssl_certificate {dir}/server.pem;
        ssl_certificate_key {dir}/server.key;
        ssl_session_cache shared:tls:1m;
        location / {{
            proxy_pass http://store;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header Host $http_host;
        }}
    }}
}}
"""


class TlsFront:
    def __init__(self, work, upstream_port):
        self.dir = os.path.join(work, "tls-front")
        self.upstream = upstream_port
        self.proc = None
        self.port = None

    @property
    def ca_file(self):
        return os.path.join(self.dir, "ca.pem")

    def start(self):
        os.makedirs(self.dir, exist_ok=True)
        make_certificates(self.dir)
        for _ in range(5):  # the port may be taken between choosing and binding
            self.port = free_port()
            conf = os.path.join(self.dir, "nginx.conf")
            with open(conf, "w") as f:
                f.write(CONFIG.format(dir=self.dir, port=self.port, upstream=self.upstream))
            with open(os.path.join(self.dir, "stderr.log"), "ab") as err:
                self.proc = subprocess.Popen([NGINX, "-p", self.dir, "-c", conf,
                                              "-e", os.path.join(self.dir, "error.log")],
                                             stdout=err, stderr=err)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.proc.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                    return self
                except OSError:
                    time.sleep(0.05)
            self.stop()
        raise RuntimeError("the TLS front did not start; see %s" % self.dir)

    def stop(self):
        if self.proc is None:
            return
        end_process(self.proc, signal.SIGQUIT)
        self.proc = None

    @property
    def base(self):
        """The account URL over https."""
        return "https://127.0.0.1:%d/devstoreaccount1" % self.port
