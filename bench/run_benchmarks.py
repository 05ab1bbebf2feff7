#!/usr/bin/python3
"""Runs the upload benchmarks and prints one report table.

Called by scripts/bench.sh after the build; run it with Debian's
/usr/bin/python3, whose python3-azure-storage package is the Python SDK
baseline. Everything uploaded goes to the local cloud emulator (web console,
upload server) and to Azurite behind it, all on 127.0.0.1.

Measurements (each repeated --rounds times, rounds interleaved so that a
slow moment of the machine hits every contender alike; the median is
reported):

  folder  the library's ZUCloudService::UploadFile of a 256 MiB file, 4 MiB
          chunks, against curl POSTing the same chunks with the same headers
          to the same upload endpoint: one curl process opens the session,
          one more sends the other chunks over one connection, "FileEOF" on
          the last. The target's baseline streams each chunk file as the
          body; for information also curl loading each chunk into memory
          first (--data-binary) and curl on a new connection per chunk.
  blob    the library's ZUCloudAzureService::UploadFile of a 1 GiB file with
          the default settings (16 MiB blocks, 10 streams), on two paths:
          through the emulator's storage proxy (the container URL the set-up
          hands out) and straight to Azurite (the set-up reply overridden
          through the emulator's "blob_setup_reply" knob). On each path curl
          sends the same 64 blocks one at a time with Put Block and the same
          SAS, then the block list, over one connection (and, straight to
          Azurite, for information, once more with each block loaded into
          memory first); and the Azure Storage SDK for Python runs
          upload_blob with its defaults (4 MiB blocks, max_concurrency 1)
          and with 16 MiB blocks at max_concurrency 1 (the library sends one
          block at a time); straight to Azurite, for information, also with
          16 MiB blocks at max_concurrency 10.

Every blob measurement gets a freshly started emulator and Azurite: Azurite
keeps blobs in memory and frees deleted ones only in a garbage collection
every ten minutes, so a shared instance would grow by a GiB per run.

The library's programs report wall and CPU time of UploadFile alone and the
peak RSS of their process; curl's CPU time is the rusage of its processes,
the SDK's the rusage of its process around upload_blob.
"""

import argparse
import base64
import hashlib
import json
import os
import signal
import statistics
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "emulator"))

from zuemu import azstore, messages  # noqa: E402

MIB = 1024 * 1024
GIB = 1024 * MIB
USER = "bench"
PASSWORD = "bench-" + base64.b32encode(os.urandom(5)).decode("ascii").lower()
MTIME = "2026-01-02T03:04:05Z"
FOLDER_CHUNK = 4 * MIB
BLOB_BLOCK = 16 * MIB
BLOB_STREAMS = 10
CURL_COMMON = ["-sS", "-H", "Expect:", "-H", "User-Agent:"]


def log(text):
    print("   " + text, file=sys.stderr, flush=True)


# -- processes ---------------------------------------------------------------

def run_measured(argv, out_path, env=None, err_path=None):
    """Runs argv to completion; returns (exit code, wall s, user s, sys s,
    peak RSS KiB) from the child's own rusage."""
    with open(out_path, "wb") as out, open(err_path or os.devnull, "ab") as err:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=out, stderr=err, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, wall, usage.ru_utime, usage.ru_stime, usage.ru_maxrss


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
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
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


# -- the contenders ----------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.logdir = os.path.join(self.work, "log")
        os.makedirs(self.logdir, exist_ok=True)
        self.emulator = None
        self.results = {}   # key -> list of result dicts
        self.header_check = None

    # helpers
    def record(self, key, result):
        self.results.setdefault(key, []).append(result)
        log("%-28s %8.1f MiB/s  wall %6.2f s  cpu %6.2f s  rss %7.1f MiB" % (
            key, result["bytes"] / MIB / result["wall_s"], result["wall_s"],
            result["user_s"] + result["sys_s"], result["maxrss_kib"] / 1024.0))

    def fresh_emulator(self):
        if self.emulator is not None:
            self.emulator.stop()
        self.emulator = Emulator(self.work).start()
        return self.emulator

    def stop(self):
        if self.emulator is not None:
            self.emulator.stop()
            self.emulator = None

    def library_env(self, conf_name, conf_text, extra):
        conf = os.path.join(self.work, conf_name)
        with open(conf, "w") as f:
            f.write(conf_text)
        env = dict(os.environ)
        env.update({"ZUCLOUD_CONFIG": conf, "ZUCLOUD_LOG_DIR": self.logdir,
                    "BENCH_USER": USER, "BENCH_PASSWORD": PASSWORD})
        env.update(extra)
        return env

    def run_library(self, program, path, env, label):
        out = os.path.join(self.work, label + ".out")
        code, _, _, _, _ = run_measured([program, path], out, env,
                                        os.path.join(self.work, label + ".err"))
        result = None
        with open(out) as f:
            for line in f:
                if line.startswith("RESULT "):
                    result = json.loads(line[7:])
        if code != 0 or result is None or not result["ok"]:
            raise RuntimeError("%s failed (exit %d): %s; see %s" % (
                label, code, result and result["message"], self.logdir))
        return result

    # folder service
    def folder_library(self, emu, guid):
        env = self.library_env("folder.conf", "[GlobalParam]\nCloud URL = %s\n" % emu.web,
                               {"BENCH_GUID": guid, "BENCH_MTIME": MTIME})
        emu.control("POST", "/_emu/reset")
        result = self.run_library(self.args.folder_program, self.args.folder_file, env,
                                  "folder-library")
        self.check_folder_file(emu, "library")
        if self.header_check is None:
            self.header_check = [self.chunk_header_names(emu)]
        return result

    def folder_curl(self, emu, guid, mode="stream"):
        """curl POSTs the chunks: "stream" sends each chunk file as the body
        (-T with POST; the baseline of the target), "data-binary" loads each
        into memory first (--data-binary @file), "close" streams like
        "stream" but asks for a new connection per chunk ("Connection:
        close"), as the library opens one per chunk."""
        token = emu.login()
        setup = emu.folder_setup(token, guid)
        path = self.args.folder_file
        size = os.path.getsize(path)
        chunks = self.args.folder_chunks
        base = "%s/api/drive/share/%s/file/action/upload?uploadType=chunkedFile" % (
            setup["uploadURL"], setup["shareID"])
        name64 = base64.b64encode(os.path.basename(path).encode()).decode()
        parent64 = base64.b64encode(setup["folderPath"].encode()).decode()
        headers = ["-H", "Accept: application/xml", "-H", "Authtoken: " + token,
                   "-H", "FileName: " + name64, "-H", "FileSize: %d" % size,
                   "-H", "FileModifiedtime: " + MTIME, "-H", "ParentFolderPath: " + parent64,
                   "-H", "Content-Type: application/octet-stream"]
        emu.control("POST", "/_emu/reset")
        reply = os.path.join(self.work, "curl-session.xml")
        start = time.perf_counter()
        first = (["--data-binary", "@" + chunks[0]] if mode == "data-binary"
                 else ["-X", "POST", "-T", chunks[0]])
        code, _, u1, s1, _ = run_measured(
            ["curl"] + CURL_COMMON + ["-f"] + headers + first + [base + "&forceRestart=true"],
            reply)
        if code != 0:
            raise RuntimeError("curl could not open the upload session (exit %d)" % code)
        with open(reply, "rb") as f:
            request_id = ET.fromstring(f.read()).findtext(".//requestId")
        url = base + "&requestId=" + request_id
        argv = ["curl"]
        for i, chunk in enumerate(chunks[1:], start=2):
            if i > 2:
                argv.append("--next")
            eof = ["-H", "FileEOF: 1"] if i == len(chunks) else []
            body = (["--data-binary", "@" + chunk] if mode == "data-binary"
                    else ["-X", "POST", "-T", chunk])
            close = ["-H", "Connection: close"] if mode == "close" else []
            argv += CURL_COMMON + headers + eof + close + [
                "-o", "/dev/null", "-w", "%{http_code}\\n"] + body + [url]
        statuses = os.path.join(self.work, "curl-chunks.txt")
        code, _, u2, s2, _ = run_measured(argv, statuses)
        wall = time.perf_counter() - start
        with open(statuses) as f:
            codes = f.read().split()
        if code != 0 or len(codes) != len(chunks) - 1 or any(c != "200" for c in codes):
            raise RuntimeError("curl chunk upload failed: exit %d, statuses %s" % (code, codes))
        self.check_folder_file(emu, "curl")
        if mode == "stream" and self.header_check and len(self.header_check) == 1:
            self.header_check.append(self.chunk_header_names(emu))
        return {"ok": True, "bytes": size, "wall_s": wall, "user_s": u1 + u2,
                "sys_s": s1 + s2, "maxrss_kib": 0}

    def check_folder_file(self, emu, who):
        files = emu.control("GET", "/_emu/files")
        if not files or files[-1]["size"] != self.args.folder_size or \
                files[-1]["sha256"] != self.args.folder_sha256:
            raise RuntimeError("%s: the emulator does not hold the folder file intact" % who)

    @staticmethod
    def chunk_header_names(emu):
        """Header names, in order, of the last chunk request that carried a
        body, for the same-headers check between the library and curl."""
        entries = [e for e in emu.control("GET", "/_emu/journal?kind=upload_chunk")
                   if e["body_len"] > 0]
        return [name for name, _ in entries[-2]["headers"]] if len(entries) > 1 else []

    # blob service
    def blob_target(self, emu, path_kind, token, guid):
        """(container URL, SAS) on the chosen path; for the direct path the
        set-up reply is overridden so that the library gets the same."""
        service_url, sas = emu.blob_setup(token, guid)
        container = service_url.rstrip("/").rsplit("/", 1)[1]
        if path_kind == "direct":
            service_url = "%s/%s" % (emu.azurite_base, container)
            emu.control("POST", "/_emu/config", {"blob_setup_reply": (
                "<SetupResult><AzureSASServiceURL>%s</AzureSASServiceURL>"
                "<AzureSASToken>%s</AzureSASToken></SetupResult>"
                % (escape(service_url), escape(sas)))})
        return container, service_url, sas

    def check_blob(self, emu, container, name, who, blocks=None):
        store = azstore.BlobStore(emu.azurite_base)
        size = store.blob_size(container, name)
        if size != self.args.blob_size:
            raise RuntimeError("%s: blob %s/%s holds %r bytes, not %d" % (
                who, container, name, size, self.args.blob_size))
        if blocks is not None:
            got = [bid for bid, _ in store.committed_block_list(container, name)]
            if got != blocks:
                raise RuntimeError("%s: unexpected committed block list" % who)

    def blob_library(self, path_kind, guid):
        emu = self.fresh_emulator()
        token = emu.login()
        container, _, _ = self.blob_target(emu, path_kind, token, guid)
        settings = "".join(line + "\n" for line in self.args.blob_setting)
        env = self.library_env("blob.conf",
                               "[GlobalParam]\nCloud URL = %s\n%s" % (emu.web, settings),
                               {"BENCH_GUID": guid, "BENCH_FOLDER": "bench"})
        result = self.run_library(self.args.blob_program, self.args.blob_file, env,
                                  "blob-library-" + path_kind)
        self.check_blob(emu, container, "bench/" + os.path.basename(self.args.blob_file),
                        "library", self.block_ids())
        return result

    def block_ids(self):
        return [base64.b64encode(b"%06d" % n).decode() for n in
                range(1, len(self.args.blob_blocks) + 1)]

    def blob_curl(self, path_kind, guid, mode="stream"):
        """curl sends the blocks one at a time over one connection: "stream"
        uploads each block file as the body (-T; the baseline of the
        target), "memory" loads each block into memory before sending it
        (--data-binary @file), as the library reads a whole block first."""
        emu = self.fresh_emulator()
        token = emu.login()
        container, service_url, sas = self.blob_target(emu, path_kind, token, guid)
        blob_url = service_url + "/bench/curl.bin"
        ids = self.block_ids()
        block_list = os.path.join(self.work, "blocklist.xml")
        with open(block_list, "w") as f:
            f.write('<?xml version="1.0" encoding="utf-8"?> <BlockList>' + "".join(
                "<Uncommitted>%s</Uncommitted>" % i for i in ids) + "</BlockList>")
        argv = ["curl"]
        for block_id, block in zip(ids, self.args.blob_blocks):
            body = (["-X", "PUT", "-H", "Content-Type:", "--data-binary", "@" + block]
                    if mode == "memory" else ["-T", block])
            argv += CURL_COMMON + ["-o", "/dev/null", "-w", "%{http_code}\\n"] + body + [
                                   "%s?comp=block&blockid=%s&%s" % (
                                       blob_url, urllib.parse.quote(block_id, safe=""), sas),
                                   "--next"]
        argv += CURL_COMMON + ["-o", "/dev/null", "-w", "%{http_code}\\n", "-T", block_list,
                               "%s?comp=blocklist&%s" % (blob_url, sas)]
        statuses = os.path.join(self.work, "curl-blocks.txt")
        code, wall, user, system, _ = run_measured(argv, statuses)
        with open(statuses) as f:
            codes = f.read().split()
        if code != 0 or len(codes) != len(ids) + 1 or any(c != "201" for c in codes):
            raise RuntimeError("curl block upload failed: exit %d, statuses %s" % (code, codes))
        self.check_blob(emu, container, "bench/curl.bin", "curl", ids)
        return {"ok": True, "bytes": self.args.blob_size, "wall_s": wall, "user_s": user,
                "sys_s": system, "maxrss_kib": 0}

    def blob_sdk(self, path_kind, guid, block, concurrency):
        emu = self.fresh_emulator()
        token = emu.login()
        container, service_url, sas = self.blob_target(emu, path_kind, token, guid)
        argv = ["/usr/bin/python3", os.path.join(HERE, "sdk_upload.py"),
                "--container-url", service_url, "--sas", sas, "--blob", "bench/sdk.bin",
                "--file", self.args.blob_file, "--concurrency", str(concurrency)]
        if block:
            argv += ["--block-size", str(block)]
        out = os.path.join(self.work, "sdk.out")
        code, _, _, _, _ = run_measured(argv, out, None, os.path.join(self.work, "sdk.err"))
        result = None
        with open(out) as f:
            for line in f:
                if line.startswith("RESULT "):
                    result = json.loads(line[7:])
        if code != 0 or result is None:
            raise RuntimeError("the SDK upload failed (exit %d); see %s/sdk.err" % (
                code, self.work))
        self.check_blob(emu, container, "bench/sdk.bin", "sdk")
        return result

    # the run
    def run(self):
        guid = "b3a1c2d4-0000-4e5f-8a9b-" + os.urandom(6).hex()
        rounds = self.args.rounds
        log("folder service: %d MiB file, %d rounds" % (self.args.folder_size // MIB, rounds))
        want = lambda part: part in self.args.only
        if want("folder"):
            emu = self.fresh_emulator()
            for _ in range(rounds):
                self.record("folder/library", self.folder_library(emu, guid))
                self.record("folder/curl", self.folder_curl(emu, guid))
                self.record("folder/curl-data-binary",
                            self.folder_curl(emu, guid, "data-binary"))
                self.record("folder/curl-close", self.folder_curl(emu, guid, "close"))
        if not (self.args.only - {"folder"}):
            return
        log("blob service: %d MiB file, %d rounds, paths %s" % (
            self.args.blob_size // MIB, rounds, ",".join(self.args.paths)))
        for _ in range(rounds):
            for path_kind in self.args.paths:
                if want("blob-library"):
                    self.record("blob-%s/library" % path_kind,
                                self.blob_library(path_kind, guid))
                if want("blob-curl"):
                    self.record("blob-%s/curl" % path_kind, self.blob_curl(path_kind, guid))
                if want("blob-curl") and path_kind == "direct":
                    self.record("blob-%s/curl-memory" % path_kind,
                                self.blob_curl(path_kind, guid, "memory"))
                for label, block, conc in (self.sdk_variants(path_kind)
                                           if want("sdk") else []):
                    self.record("blob-%s/%s" % (path_kind, label),
                                self.blob_sdk(path_kind, guid, block, conc))
        self.stop()

    def sdk_variants(self, path_kind):
        variants = [("sdk-defaults", None, 1), ("sdk-16MiB-c1", BLOB_BLOCK, 1)]
        if self.args.sdk_parallel and path_kind == "direct":
            variants.append(("sdk-16MiB-c%d" % BLOB_STREAMS, BLOB_BLOCK, BLOB_STREAMS))
        return variants


# -- the report --------------------------------------------------------------

def median(results, field):
    return statistics.median(r[field] for r in results)


def throughput(results):
    """MiB/s of the median wall time (the files are of equal size)."""
    return results[0]["bytes"] / MIB / median(results, "wall_s")


def cpu_per_gib(results):
    return statistics.median((r["user_s"] + r["sys_s"]) / (r["bytes"] / GIB) for r in results)


def table(rows):
    """Markdown table of string tuples; the first row is the header."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    fmt = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
    return [fmt(rows[0]), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + \
        [fmt(r) for r in rows[1:]]


def report(bench, args):
    res = bench.results
    rows = [("benchmark", "library MiB/s", "baseline MiB/s", "ratio (median of rounds)",
             "target", "verdict")]

    def ratio_row(name, lib_key, base_key, target, minimum, strict=False):
        if lib_key not in res or base_key not in res:
            return
        lib, base = throughput(res[lib_key]), throughput(res[base_key])
        # Rounds are interleaved, so each round's pair ran at nearly the same
        # moment: the median of the per-round ratios is less exposed to a
        # machine whose load drifts than the ratio of the two medians.
        ratio = statistics.median(b["wall_s"] / a["wall_s"] for a, b in
                                  zip(res[lib_key], res[base_key]))
        if target is None:
            verdict = "info"
        else:
            verdict = "PASS" if (ratio > minimum if strict else ratio >= minimum) else "MISS"
        rows.append((name, "%.1f" % lib, "%.1f" % base, "%.2f" % ratio, target or "-", verdict))

    ratio_row("folder 256 MiB vs curl, same 4 MiB chunks", "folder/library", "folder/curl",
              ">= 0.90", 0.90)
    ratio_row("folder vs curl --data-binary (chunk in memory)", "folder/library",
              "folder/curl-data-binary", None, 0)
    ratio_row("folder vs curl, new connection per chunk", "folder/library",
              "folder/curl-close", None, 0)
    for p in args.paths:
        ratio_row("blob 1 GiB %s vs curl one block at a time" % p, "blob-%s/library" % p,
                  "blob-%s/curl" % p, ">= 0.95", 0.95)
        ratio_row("blob 1 GiB %s vs curl, block loaded in memory first" % p,
                  "blob-%s/library" % p, "blob-%s/curl-memory" % p, None, 0)
        ratio_row("blob 1 GiB %s vs SDK defaults (4 MiB, c=1)" % p, "blob-%s/library" % p,
                  "blob-%s/sdk-defaults" % p, "> 1.00", 1.0, strict=True)
        ratio_row("blob 1 GiB %s vs SDK 16 MiB, c=1" % p, "blob-%s/library" % p,
                  "blob-%s/sdk-16MiB-c1" % p, "> 1.00", 1.0, strict=True)
        ratio_row("blob 1 GiB %s vs SDK 16 MiB, c=%d" % (p, BLOB_STREAMS),
                  "blob-%s/library" % p, "blob-%s/sdk-16MiB-c%d" % (p, BLOB_STREAMS), None, 0)
    out = table(rows)

    rss_target = BLOB_STREAMS * BLOB_BLOCK / MIB + 32
    rss_rows = [("process", "peak RSS MiB (median)", "max of runs", "target", "verdict")]

    def rss_row(label, key, target):
        if key not in res:
            return
        r = res[key]
        peak = max(x["maxrss_kib"] for x in r) / 1024
        verdict = "info" if target is None else ("PASS" if peak <= target else "MISS")
        rss_rows.append((label, "%.1f" % (median(r, "maxrss_kib") / 1024), "%.1f" % peak,
                         "<= %d MiB (%d x %d MiB + 32)" % (target, BLOB_STREAMS,
                                                           BLOB_BLOCK // MIB)
                         if target else "-", verdict))
        if verdict == "MISS":
            rows.append(("peak RSS " + label, "", "", "", "", "MISS"))

    rss_row("library, folder upload", "folder/library", None)
    for p in args.paths:
        rss_row("library, blob upload (%s)" % p, "blob-%s/library" % p, rss_target)
        for sdk in ("sdk-defaults", "sdk-16MiB-c1", "sdk-16MiB-c%d" % BLOB_STREAMS):
            rss_row("Python SDK %s (%s)" % (sdk[4:], p), "blob-%s/%s" % (p, sdk), None)
    out += [""] + table(rss_rows)

    cpu_rows = [("upload", "library CPU s/GiB", "curl CPU s/GiB", "SDK 16 MiB c=1 CPU s/GiB")]
    for label, prefix in [("folder 256 MiB", "folder")] + [("blob 1 GiB " + p, "blob-" + p)
                                                           for p in args.paths]:
        vals = []
        for who in ("library", "curl", "sdk-16MiB-c1"):
            key = "%s/%s" % (prefix, who)
            vals.append("%.2f" % cpu_per_gib(res[key]) if key in res else "-")
        if any(v != "-" for v in vals):
            cpu_rows.append((label,) + tuple(vals))
    out += [""] + table(cpu_rows)

    out.append("")
    out.append("Runs (MiB/s of each round; user+sys CPU seconds of each round):")
    for key in sorted(res):
        r = res[key]
        out.append("  %-26s %s   cpu %s" % (
            key, " ".join("%7.1f" % (x["bytes"] / MIB / x["wall_s"]) for x in r),
            " ".join("%5.2f" % (x["user_s"] + x["sys_s"]) for x in r)))
    if bench.header_check and len(bench.header_check) == 2:
        lib, curl = bench.header_check
        out.append("")
        out.append("Chunk request headers, library: %s" % ", ".join(lib))
        out.append("Chunk request headers, curl:    %s (%s)" % (
            ", ".join(curl), "same" if lib == curl else "DIFFERENT"))
    print("\n".join(out))
    return all(r[5] != "MISS" for r in rows[1:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--work", required=True, help="scratch directory with the test files")
    parser.add_argument("--folder-program", required=True)
    parser.add_argument("--blob-program", required=True)
    parser.add_argument("--folder-file", required=True)
    parser.add_argument("--blob-file", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--paths", default="proxy,direct",
                        help="blob paths to measure: proxy, direct or both")
    parser.add_argument("--no-sdk-parallel", dest="sdk_parallel", action="store_false",
                        help="skip the SDK run with 10 parallel blocks")
    parser.add_argument("--blob-setting", action="append", default=[],
                        help="extra settings-file line for the library's blob upload, e.g. "
                             "'DRBackupUploadStreamCount = 1' (investigations only: the "
                             "report's targets assume the defaults)")
    parser.add_argument("--only", default="folder,blob-library,blob-curl,sdk",
                        help="measurements to run (for investigations): folder, "
                             "blob-library, blob-curl, sdk")
    args = parser.parse_args()
    args.only = set(p for p in args.only.split(",") if p)
    args.paths = [p for p in args.paths.split(",") if p]
    if any(p not in ("proxy", "direct") for p in args.paths):
        parser.error("--paths takes proxy and/or direct")

    def split(path, size, tag):
        out_dir = os.path.join(args.work, tag)
        os.makedirs(out_dir, exist_ok=True)
        subprocess.run(["split", "-a", "4", "-d", "-b", str(size), path,
                        os.path.join(out_dir, "part-")], check=True)
        return sorted(os.path.join(out_dir, n) for n in os.listdir(out_dir))

    def sha256(path):
        h = hashlib.sha256()
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(4 * MIB), b""):
                h.update(block)
        return h.hexdigest()

    args.folder_size = os.path.getsize(args.folder_file)
    args.blob_size = os.path.getsize(args.blob_file)
    args.folder_sha256 = sha256(args.folder_file)
    args.folder_chunks = split(args.folder_file, FOLDER_CHUNK, "folder-chunks")
    args.blob_blocks = split(args.blob_file, BLOB_BLOCK, "blob-blocks")

    bench = Bench(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        bench.run()
    finally:
        bench.stop()
    return 0 if report(bench, args) else 1


if __name__ == "__main__":
    sys.exit(main())
