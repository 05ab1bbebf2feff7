"""Starts and stops a private Azurite blob service for the emulator.

Azurite runs in memory on a free loopback port; its output is drained by a
thread so that it can never block on a full pipe, and kept (last lines) for
error reports.
"""

import atexit
import collections
import ctypes
import os
import re
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

_LISTENING = re.compile(r"listens on https?://[^:/\s]+:(\d+)")


class AzuriteError(RuntimeError):
    pass


try:
    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):
    _prctl = None
_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """Runs in the child before exec: ask the kernel to SIGTERM Azurite when
    the thread that started it ends, so a crashed or SIGKILLed emulator
    leaves no Azurite behind.  Best effort (Linux only); the function was
    looked up before the fork so the child calls no loader code."""
    if _prctl is not None:
        _prctl(_PR_SET_PDEATHSIG, int(signal.SIGTERM), 0, 0, 0)


class Azurite:
    """One azurite-blob process.

    `node_modules_dir` is the directory holding `.bin/azurite-blob` (the
    emulator's node_modules).  start() returns the blob port; stop() ends
    the process.  Not thread-safe: start and stop from one thread, and start
    from a thread that lives as long as Azurite should (the kernel ends
    Azurite when that thread ends).  Azurite stays in the caller's process
    group, so whoever kills the emulator's group kills Azurite too.
    """

    def __init__(self, node_modules_dir, extra_args=None, log_stream=None):
        self.node_modules_dir = os.path.abspath(node_modules_dir)
        self.extra_args = list(extra_args or [])
        self.log_stream = log_stream  # where Azurite's output is echoed
        self.proc = None
        self.port = None
        self._tail = collections.deque(maxlen=50)
        self._port_found = threading.Event()
        self._reader = None
        self._atexit_registered = False

    @property
    def executable(self):
        return os.path.join(self.node_modules_dir, ".bin", "azurite-blob")

    @property
    def blob_base_url(self):
        return "http://127.0.0.1:%d/devstoreaccount1" % self.port

    def _drain(self, stream):
        for raw in iter(stream.readline, b""):
            line = raw.decode("utf-8", "replace").rstrip()
            self._tail.append(line)
            if self.log_stream is not None:
                try:
                    print("[azurite] " + line, file=self.log_stream,
                          flush=True)
                except (OSError, ValueError):
                    pass
            if self.port is None:
                m = _LISTENING.search(line)
                if m:
                    self.port = int(m.group(1))
                    self._port_found.set()
        stream.close()

    def start(self, timeout=30.0):
        """Starts Azurite and waits until it answers HTTP; returns the port."""
        if self.proc is not None:
            raise AzuriteError("Azurite already started")
        exe = self.executable
        if not os.path.exists(exe):
            raise AzuriteError(
                "%s not found; run scripts/install-deps.sh" % exe)
        args = [exe,
                "--blobHost", "127.0.0.1",
                "--blobPort", "0",
                "--inMemoryPersistence",
                "--disableTelemetry",
                "--skipApiVersionCheck",
                "--loose",
                # Clients may idle far longer than Azurite's default 5 s
                # between requests on one keep-alive connection.
                "--blobKeepAliveTimeout", "600",
                "--silent"] + self.extra_args
        self.proc = subprocess.Popen(
            args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, preexec_fn=_die_with_parent,
            cwd=self.node_modules_dir)
        if not self._atexit_registered:
            atexit.register(self.stop)
            self._atexit_registered = True
        self._reader = threading.Thread(target=self._drain,
                                        args=(self.proc.stdout,),
                                        name="azurite-output", daemon=True)
        self._reader.start()
        deadline = time.monotonic() + timeout
        while not self._port_found.wait(0.05):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self._fail("Azurite did not report its port")
        # The port is announced once the socket listens; make sure the
        # service actually answers before anyone depends on it.
        url = "http://127.0.0.1:%d/devstoreaccount1?comp=list" % self.port
        while True:
            try:
                urllib.request.urlopen(url, timeout=2).read()
                break
            except urllib.error.HTTPError:
                break  # any HTTP answer (here 403: unsigned) means it is up
            except OSError:
                if self.proc.poll() is not None or \
                        time.monotonic() > deadline:
                    self._fail("Azurite does not answer on port %d"
                               % self.port)
                time.sleep(0.05)
        return self.port

    def _fail(self, what):
        tail = "\n".join(self._tail)
        self.stop()
        raise AzuriteError("%s; output:\n%s" % (what, tail))

    def stop(self):
        """Terminates Azurite (node runs it in one process, no children)."""
        proc, self.proc = self.proc, None
        if proc is None:
            return
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=5)
        if self._reader is not None:
            self._reader.join(timeout=2)
            self._reader = None
        self.port = None
        self._port_found.clear()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


if __name__ == "__main__":
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    az = Azurite(os.path.join(here, "node_modules"), log_stream=sys.stderr)
    print(az.start(), flush=True)
    try:
        signal.sigwait({signal.SIGINT, signal.SIGTERM})
    finally:
        az.stop()
