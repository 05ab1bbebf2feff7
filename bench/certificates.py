"""Throw-away TLS certificates for the benchmarks' https endpoints (the TLS
front, the TLS discard sink): the local cloud's own maker
(emulator/zuemu/certificates.py), kept across restarts of an endpoint so
that clients go on trusting its CA (ca.pem: the library through
ZUCLOUD_CA_FILE, the SDK through its connection_verify option and curl
through --cacert).
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "emulator"))
from zuemu import certificates  # noqa: E402


def make_certificates(directory):
    """Writes the CA and the server certificate for 127.0.0.1 into
    `directory` unless it holds them already."""
    if not os.path.exists(os.path.join(directory, "ca.pem")):
        certificates.make_certificates(directory)
