"""What the benchmarks start beside the uploaders: the cloud emulator with
Azurite and the storage proxy, and the WAN-like link (bench/wan_link.py)."""

import base64
import json
import os
import subprocess
import sys
import time
import urllib.request
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

from processes import end_process
from zuemu import azstore, messages

from .common import BENCH_DIR, PASSWORD, ROOT, USER


class Emulator:
    """The cloud emulator with Azurite and the storage proxy, on free ports."""

    def __init__(self, work):
        self.work = work
        self.proc = None
        self.ports = None

    def start(self):
        ready = os.path.join(self.work, "emulator.ready")
        with open(ready, "wb") as out, open(os.path.join(self.work, "emulator.log"), "ab") as err:
            self.proc = subprocess.Popen(
                [sys.executable, os.path.join(ROOT, "emulator", "run_emulator.py"),
                 "--accounts", "%s:%s" % (USER, PASSWORD), "--with-storage",
                 "--node-modules", os.path.join(ROOT, "emulator", "node_modules")],
                stdout=out, stderr=err)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("the emulator exited early; see %s/emulator.log" % self.work)
            with open(ready) as f:
                for line in f:
                    if line.startswith("READY "):
                        self.ports = json.loads(line[6:])
                        return self
            time.sleep(0.05)
        raise RuntimeError("the emulator did not get ready within 60 s")

    def stop(self):
        if self.proc is None:
            return
        end_process(self.proc, grace=20)
        self.proc = None

    @property
    def console(self):
        return "http://127.0.0.1:%d" % self.ports["console"]

    @property
    def web(self):
        return self.console + self.ports["prefix"]

    @property
    def azurite_base(self):
        return "http://127.0.0.1:%d/%s" % (self.ports["azurite"], azstore.ACCOUNT)

    def control(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.console + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=120) as reply:
            return json.loads(reply.read() or b"null")

    def post(self, path, body, token=None):
        headers = {"Accept": "application/xml", "Content-Type": "application/xml"}
        if token:
            headers["Authtoken"] = token
        req = urllib.request.Request(self.web + path, data=body.encode("utf-8"),
                                     method="POST", headers=headers)
        with urllib.request.urlopen(req, timeout=60) as reply:
            return reply.read().decode("utf-8")

    def login(self):
        body = messages.check_credential_req(
            USER, base64.b64encode(PASSWORD.encode()).decode("ascii"))
        reply = messages.parse_check_credential_resp(self.post("/api/Login", body))
        if not reply["sessionToken"]:
            raise RuntimeError("log-in refused: %r" % reply["errors"])
        return reply["sessionToken"]

    def folder_setup(self, token, guid):
        body = ("<Workflow_StartWorkflow><options><inputs><VestrumGUID>%s</VestrumGUID>"
                "<FolderType>1</FolderType></inputs></options><outputFormat>0</outputFormat>"
                "</Workflow_StartWorkflow>" % escape(guid))
        root = ET.fromstring(self.post(
            "/api/Workflow/Setup_DRBackup_ZUCloudV2/Action/Execute?outputonly=true", body,
            token))
        return {k: root.findtext(k) for k in ("shareID", "folderPath", "uploadURL")}

    def blob_setup(self, token, guid):
        body = ("<Workflow_StartWorkflow><options><inputs><VestrumGUID>%s</VestrumGUID>"
                "<SetID>bench-set</SetID><JobId>1</JobId><BackupLevel>1</BackupLevel>"
                "<FullJobId>1</FullJobId></inputs></options><outputFormat>0</outputFormat>"
                "</Workflow_StartWorkflow>" % escape(guid))
        root = ET.fromstring(self.post("/api/zudrbackup/setup", body, token))
        url, sas = root.findtext("AzureSASServiceURL"), root.findtext("AzureSASToken")
        if not url or not sas:
            raise RuntimeError("blob set-up failed: %s" % ET.tostring(root, "unicode"))
        return url, sas


class WanLink:
    """bench/wan_link.py relaying to one upstream port (Azurite, the TLS
    front, the emulator's web console or upload server), on a free port;
    `name` names its output and log files in the scratch directory."""

    def __init__(self, work, upstream_port, rtt_ms, mbit, window, name="wan-link"):
        self.argv = [sys.executable, os.path.join(BENCH_DIR, "wan_link.py"),
                     "--upstream", "127.0.0.1:%d" % upstream_port, "--rtt-ms", str(rtt_ms),
                     "--mbit", str(mbit), "--window", str(window)]
        self.proc = None
        self.port = None
        self.stats = {}
        self.out = os.path.join(work, name + ".out")
        self.log_path = os.path.join(work, name + ".log")

    def start(self):
        with open(self.out, "wb") as out, open(self.log_path, "ab") as err:
            self.proc = subprocess.Popen(self.argv, stdout=out, stderr=err)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and self.proc.poll() is None:
            with open(self.out) as f:
                for line in f:
                    if line.startswith("READY "):
                        self.port = json.loads(line[6:])["port"]
                        return self
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("the WAN link did not start; see %s" % self.log_path)

    def stop(self):
        if self.proc is None:
            return
        end_process(self.proc)
        self.proc = None
        with open(self.out) as f:
            for line in f:
                if line.startswith("STATS "):
                    self.stats = json.loads(line[6:])

    @property
    def base(self):
        return "http://127.0.0.1:%d/%s" % (self.port, azstore.ACCOUNT)
