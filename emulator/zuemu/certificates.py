"""Throw-away TLS certificates for local https endpoints (the emulator, the
gateway tests' server, the benchmarks' TLS front and discard sink), made with
the openssl command line: a CA (ca.pem, which clients trust) and a server
certificate signed by it (server.pem, server.key), valid for two days.

As a program: certificates.py DIRECTORY [SUBJECT_ALT_NAME]
"""

import os
import subprocess
import sys

DEFAULT_SAN = "IP:127.0.0.1,DNS:localhost"


def make_certificates(directory, san=DEFAULT_SAN):
    """Writes the CA and a server certificate for `san` (a subjectAltName
    value) into `directory`; returns the paths of the server certificate
    and its key."""
    def run(*args):
        subprocess.run(["openssl", *args], check=True, cwd=directory,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
        "-subj", "/CN=zucloud local test CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", *ec, "-keyout", "server.key", "-out", "server.csr",
        "-subj", "/CN=localhost")
    with open(os.path.join(directory, "server.ext"), "w") as ext:
        ext.write("basicConstraints=CA:FALSE\n"
                  "keyUsage=critical,digitalSignature\n"
                  "extendedKeyUsage=serverAuth\n"
                  "subjectAltName=%s\n" % san)
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", "2",
        "-extfile", "server.ext")
    return (os.path.join(directory, "server.pem"),
            os.path.join(directory, "server.key"))


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: certificates.py DIRECTORY [SUBJECT_ALT_NAME]")
    make_certificates(*sys.argv[1:])
