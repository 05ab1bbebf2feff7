#!/usr/bin/env python3
"""Self-test of the emulator's storage side against a real Azurite.

Starts Azurite and the storage proxy once and checks: SAS tokens signed by
azstore are accepted for bare Put Block / Put Block List requests (no
x-ms-version or other headers), what BlobStore reads back, the proxy's
journal, counters, strict-mode refusals and faults, and the blob service
endpoints of blob.py through the emulator's HTTP core.

The checks are in zuemu/selftest/, one module a group.

Standard library only; exits non-zero on failure.
"""

import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from zuemu.selftest import storage_case  # noqa: E402
from zuemu.selftest.blob_checks import BlobEndpoints  # noqa: E402,F401
from zuemu.selftest.fault_checks import Faults, ReplyFaults  # noqa: E402,F401
from zuemu.selftest.proxy_checks import (InFlight, SasAndRoundTrip,  # noqa: E402,F401
                                         StrictMode)

NODE_MODULES = os.environ.get("ZUEMU_NODE_MODULES",
                              os.path.join(HERE, "node_modules"))


if __name__ == "__main__":
    started = time.monotonic()
    try:
        # Started once for every check, and stopped after the last.
        storage_case.start(NODE_MODULES)
        result = unittest.main(exit=False, verbosity=2).result
    finally:
        storage_case.stop()
    print("%d passed, %d failed" % (
        result.testsRun - len(result.failures) - len(result.errors)
        - len(result.skipped), len(result.failures) + len(result.errors)))
    print("storage self-test took %.1f s" % (time.monotonic() - started),
          file=sys.stderr)
    sys.exit(0 if result.wasSuccessful() else 1)
