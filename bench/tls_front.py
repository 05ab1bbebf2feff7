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

from certificates import make_certificates
from discard_sink import NGINX_PREAMBLE, start_nginx
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
        self.proc, self.port = start_nginx(
            self.dir,
            lambda port: CONFIG.format(dir=self.dir, port=port, upstream=self.upstream),
            "the TLS front")
        return self

    def stop(self):
        if self.proc is None:
            return
        end_process(self.proc, signal.SIGQUIT)
        self.proc = None

    @property
    def base(self):
        """The account URL over https."""
        return "https://127.0.0.1:%d/devstoreaccount1" % self.port
