"""Throw-away TLS certificates for the benchmarks' https endpoints (the TLS
front, the TLS discard sink), made with the openssl command line: a CA
(ca.pem, which the library trusts through ZUCLOUD_CA_FILE, the SDK through
its connection_verify option and curl through --cacert) and a server
certificate for 127.0.0.1 signed by it (server.pem, server.key).
"""

import os
import subprocess


def make_certificates(directory):
    """Writes the CA and the server certificate into `directory` unless it
    holds them already."""
    if os.path.exists(os.path.join(directory, "ca.pem")):
        return

    def run(*args):
        subprocess.run(["openssl", *args], check=True, cwd=directory,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
        "-subj", "/CN=Benchmark TLS front CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(directory, "server.ext"), "w") as ext:
        ext.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                  "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext")

