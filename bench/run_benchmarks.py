#!/usr/bin/python3
"""Runs the upload benchmarks and prints one report table.

Called by scripts/bench.sh after the build; run it with Debian's
/usr/bin/python3, whose python3-azure-storage package is the Python SDK
baseline. Everything uploaded goes to the local cloud emulator (web console,
upload server) and to Azurite behind it, all on 127.0.0.1.

Measurements (each repeated --rounds times, rounds interleaved so that a
slow moment of the machine hits every contender alike; the median is
reported):

  pagecache  the 1 GiB blob file (and the 256 MiB folder file), made
          resident in the page cache whole, uploaded with
          bEnableZUCloudDRBackupKeepPageCache off and on: the file's bytes
          still in the page cache once UploadFile returned (fincore, or
          mincore), against the blocks in flight (parallel blocks x block
          size; one 4 MiB chunk for the folder service).
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
  encryption  client-side encryption (DRBackupEncryptionKeyFile, a key
          file of mode 0600 made in the scratch directory) on against off:
          the blob file to the discard sink over http (CPU per GiB of
          UploadFile, both reading a file resident in the page cache), and
          the WAN file through the WAN-like link with 10 parallel blocks
          (throughput); beside `openssl speed -evp aes-256-gcm`.

Every blob measurement gets a freshly started emulator and Azurite: Azurite
keeps blobs in memory and frees deleted ones only in a garbage collection
every ten minutes, so a shared instance would grow by a GiB per run.

The library's programs report wall and CPU time of UploadFile alone and the
peak RSS of their process; curl's CPU time is the rusage of its processes,
the SDK's the rusage of its process around upload_blob.
"""

import argparse
import base64
import contextlib
import hashlib
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "emulator"))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))

from zuemu import azstore, messages  # noqa: E402
from discard_sink import DiscardSink  # noqa: E402
from page_cache import resident_pages  # noqa: E402
from processes import end_process  # noqa: E402
from tls_front import TlsFront  # noqa: E402

MIB = 1024 * 1024
GIB = 1024 * MIB
USER = "bench"
PASSWORD = "bench-" + base64.b32encode(os.urandom(5)).decode("ascii").lower()
MTIME = "2026-01-02T03:04:05Z"
FOLDER_CHUNK = 4 * MIB
BLOB_BLOCK = 16 * MIB
BLOB_STREAMS = 10
CURL_COMMON = ["-sS", "-H", "Expect:", "-H", "User-Agent:"]
DEFAULT_PARTS = ("folder,folder-far,blob-library,blob-curl,sdk,wan,sink,sink-https,cap,small,"
                 "md5,https,https-large,pagecache,encryption")
# The large file over https: 10 parallel blocks with MD5 off and on, and
# the SDK at the same concurrency.
HTTPS_LARGE = ("library-p10", "library-p10-md5", "sdk-c10")
# The TLS sink: the library and curl reading a file resident in the page
# cache (the comparison of the target), and both reading it from the disk.
SINK_HTTPS = ("library", "curl", "library-cold", "curl-cold")
ALL_PARTS = DEFAULT_PARTS + ",large"
# Client-side encryption: each region of 4 MiB is stored as a 12-byte
# nonce, its ciphertext and a 16-byte tag.
REGION = 4 * MIB
REGION_OVERHEAD = 28


def stored_size(size):
    """Bytes storage holds for an encrypted file of `size` bytes."""
    return size + REGION_OVERHEAD * -(-size // REGION)


def log(text):
    print("   " + text, file=sys.stderr, flush=True)


# -- processes ---------------------------------------------------------------

def loadavg():
    """The machine's 1-minute load average."""
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def resident_bytes(path):
    """Bytes of the file in the page cache: fincore (util-linux) when it is
    installed, else mincore on a mapping of the file."""
    try:
        out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                             capture_output=True, text=True, check=True).stdout
        return int(out.split()[0])
    except (OSError, subprocess.CalledProcessError, ValueError, IndexError):
        pass
    resident, _ = resident_pages(path)
    return resident * os.sysconf("SC_PAGE_SIZE")


def cache_whole(path):
    """Writes back and reads the whole file, so that all of it is in the page
    cache; returns the bytes resident then."""
    with open(path, "rb") as f:
        os.fsync(f.fileno())
        while f.read(4 * MIB):
            pass
    return resident_bytes(path)


def drop_cached(path):
    """Writes back the file and drops its pages from the page cache, so that
    the next read comes from the disk."""
    with open(path, "rb") as f:
        os.fsync(f.fileno())
        os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


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


def untagged(block_ids):
    """The block ids without the upload tag a resumable upload puts in front
    of the six-digit block number (each id the Base64 of tag + number); None
    when the ids do not all carry the same tag."""
    decoded = [base64.b64decode(bid) for bid in block_ids]
    if len({d[:-6] for d in decoded}) > 1:
        return None
    return [base64.b64encode(d[-6:]).decode() for d in decoded]


def rotated(items, start):
    """items in their order starting at start (modulo their number): each
    round of a benchmark starts with another contender, so that none always
    runs first (into a cold cache) or right after the same neighbour."""
    items = list(items)
    start %= len(items)
    return items[start:] + items[:start]


class WanLink:
    """bench/wan_link.py relaying to one upstream port (Azurite, the TLS
    front, the emulator's web console or upload server), on a free port;
    `name` names its output and log files in the scratch directory."""

    def __init__(self, work, upstream_port, rtt_ms, mbit, window, name="wan-link"):
        self.argv = [sys.executable, os.path.join(HERE, "wan_link.py"),
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
        self.sink = None
        self.large_result = None
        self.md5_speed = None  # openssl speed -evp md5, bytes/s at 16 KiB
        self.aes_speed = None  # openssl speed -evp aes-256-gcm, bytes/s at 16 KiB
        self.key_path = None

    def key_file(self):
        """A key file for DRBackupEncryptionKeyFile in the scratch directory:
        a random key-encryption key, mode 0600, made once per run."""
        if self.key_path is None:
            path = os.path.join(self.work, "bench-kek.json")
            if os.path.exists(path):
                os.unlink(path)
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(fd, "w") as f:
                os.fchmod(f.fileno(), 0o600)
                json.dump({"kid": "bench-kek", "key": os.urandom(32).hex()}, f)
            self.key_path = path
        return self.key_path

    # helpers
    def record(self, key, result):
        result["load"] = loadavg()
        self.results.setdefault(key, []).append(result)
        log("%-28s %8.1f MiB/s  wall %6.2f s  cpu %6.2f s  rss %7.1f MiB  load %.2f" % (
            key, result["bytes"] / MIB / result["wall_s"], result["wall_s"],
            result["user_s"] + result["sys_s"], result["maxrss_kib"] / 1024.0,
            result["load"]))

    def fresh_emulator(self):
        if self.emulator is not None:
            self.emulator.stop()
        self.emulator = Emulator(self.work).start()
        return self.emulator

    def stop(self):
        if self.emulator is not None:
            self.emulator.stop()
            self.emulator = None
        if self.sink is not None:
            self.sink.stop()
            self.sink = None

    def library_env(self, conf_name, conf_text, extra):
        conf = os.path.join(self.work, conf_name)
        with open(conf, "w") as f:
            f.write(conf_text)
        env = dict(os.environ)
        # A state folder of its own per run: no run resumes another's blocks.
        state = tempfile.mkdtemp(prefix="state-", dir=self.work)
        env.update({"ZUCLOUD_CONFIG": conf, "ZUCLOUD_LOG_DIR": self.logdir,
                    "ZUCLOUD_STATE_DIR": state,
                    "BENCH_USER": USER, "BENCH_PASSWORD": PASSWORD})
        env.update(extra)
        return env

    def run_library(self, program, paths, env, label, allow_refusal=False):
        """Runs a library benchmark program on the file(s) given; returns its
        RESULT with "proc_cpu_s", the whole process's CPU time, added. With
        allow_refusal an upload the library refused is returned (ok false)
        rather than raised."""
        paths = [paths] if isinstance(paths, str) else list(paths)
        out = os.path.join(self.work, label + ".out")
        code, _, user, system, _ = run_measured([program] + paths, out, env,
                                                os.path.join(self.work, label + ".err"))
        result = None
        with open(out) as f:
            for line in f:
                if line.startswith("RESULT "):
                    result = json.loads(line[7:])
        if result is not None and not result["ok"] and allow_refusal:
            return result
        if code != 0 or result is None or not result["ok"]:
            raise RuntimeError("%s failed (exit %d): %s; see %s" % (
                label, code, result and result["message"], self.logdir))
        result["proc_cpu_s"] = user + system
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
        if len(chunks) < 2:
            # The session opens with the first chunk and ends with FileEOF on
            # a later one: a file of one chunk gives curl nothing to send next.
            raise RuntimeError("the curl baseline needs a file of more than one chunk "
                               "(%d bytes is one)" % size)
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

    def folder_far(self, guid, link):
        """The small folder files, one UploadFile each after one init, with
        the web console and the upload server each behind a fresh WAN-like
        link (round trip ms, Mbit/s): the console's address is the "Cloud
        URL", the upload server's the uploadURL of the set-up reply (the
        emulator's "folder_setup_reply" knob). Adds the requests per file:
        what the emulator received from the start of the first UploadFile."""
        emu = self.fresh_emulator()
        files = self.args.folder_small_files
        links = [WanLink(self.work, emu.ports[port], link[0], link[1], self.args.wan_window,
                         "wan-" + port) for port in ("console", "upload")]
        try:
            console, upload = (wan.start() for wan in links)
            prefix = emu.ports["prefix"]
            emu.control("POST", "/_emu/config", {"folder_setup_reply": (
                messages.XML_DECLARATION + "<Workflow_Output>" + "".join(
                    "<%s>{%s}</%s>" % (k, k, k) for k in ("shareID", "folderPath",
                                                          "folderGUID"))
                + "<uploadURL>http://127.0.0.1:%d%s</uploadURL></Workflow_Output>" % (
                    upload.port, prefix))})
            env = self.library_env(
                "folder.conf", "[GlobalParam]\nCloud URL = http://127.0.0.1:%d%s\n%s" % (
                    console.port, prefix, "".join(line + "\n" for line in
                                                  self.args.blob_setting)),
                {"BENCH_GUID": guid, "BENCH_MTIME": MTIME})
            result = self.run_library(self.args.folder_program, files, env, "folder-far")
        finally:
            for wan in links:
                wan.stop()
        stored = {f["name"]: f["size"] for f in emu.control("GET", "/_emu/files")}
        if any(stored.get(os.path.basename(f)) != os.path.getsize(f) for f in files):
            raise RuntimeError("folder files across the link: the emulator holds %d of %d" % (
                len(stored), len(files)))
        requests = [e for e in emu.control("GET", "/_emu/journal")
                    if e["time"] >= result["start_unix_s"]]
        result["files"] = len(files)
        result["requests"] = len(requests)
        result["request_kinds"] = {}
        for e in requests:
            result["request_kinds"][e["kind"]] = result["request_kinds"].get(e["kind"], 0) + 1
        return result

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
    def blob_target(self, emu, path_kind, token, guid, base=None):
        """(container, container URL, SAS) on the chosen path; for the direct
        path the set-up reply is overridden so that the library gets the
        same. `base` replaces Azurite's account URL on the direct path (the
        WAN-like link, the discard sink)."""
        service_url, sas = emu.blob_setup(token, guid)
        container = service_url.rstrip("/").rsplit("/", 1)[1]
        if path_kind == "direct":
            service_url = "%s/%s" % (base or emu.azurite_base, container)
            emu.control("POST", "/_emu/config", {"blob_setup_reply": (
                "<SetupResult><AzureSASServiceURL>%s</AzureSASServiceURL>"
                "<AzureSASToken>%s</AzureSASToken></SetupResult>"
                % (escape(service_url), escape(sas)))})
        return container, service_url, sas

    def check_blob(self, emu, container, name, who, blocks=None, expected=None):
        expected = self.args.blob_size if expected is None else expected
        store = azstore.BlobStore(emu.azurite_base)
        size = store.blob_size(container, name)
        if size != expected:
            raise RuntimeError("%s: blob %s/%s holds %r bytes, not %d" % (
                who, container, name, size, expected))
        if blocks is not None:
            got = untagged([bid for bid, _ in store.committed_block_list(container, name)])
            if got != blocks:
                raise RuntimeError("%s: unexpected committed block list" % who)

    def blob_library(self, path_kind, guid):
        """The library with its defaults. Every contender of these parts
        starts from input resident in the page cache (cache_whole): the
        library drops the pages it read by default, which would leave the
        next round, its own or the SDK's, reading from the disk."""
        cache_whole(self.args.blob_file)
        emu = self.fresh_emulator()
        token = emu.login()
        container, _, _ = self.blob_target(emu, path_kind, token, guid)
        result = self.library_blob(emu, guid, self.args.blob_file, self.args.blob_setting,
                                   "blob-library-" + path_kind)
        self.check_blob(emu, container, "bench/" + os.path.basename(self.args.blob_file),
                        "library", self.block_ids())
        return result

    def library_blob(self, emu, guid, files, settings, label, folder="bench",
                     allow_refusal=False, extra_env=None):
        """blob_upload_bench uploads the file(s) to FOLDER with the given
        settings-file lines; returns its RESULT."""
        settings = "".join(line + "\n" for line in settings)
        env = self.library_env("blob.conf",
                               "[GlobalParam]\nCloud URL = %s\n%s" % (emu.web, settings),
                               dict({"BENCH_GUID": guid, "BENCH_FOLDER": folder},
                                    **(extra_env or {})))
        return self.run_library(self.args.blob_program, files, env, label, allow_refusal)

    def block_ids(self, count=None):
        count = len(self.args.blob_blocks) if count is None else count
        return [base64.b64encode(b"%06d" % n).decode() for n in range(1, count + 1)]

    def blob_curl(self, path_kind, guid, mode="stream"):
        """curl sends the blocks one at a time over one connection: "stream"
        uploads each block file as the body (-T; the baseline of the
        target), "memory" loads each block into memory before sending it
        (--data-binary @file), as the library reads a whole block first."""
        for block in self.args.blob_blocks:
            cache_whole(block)
        emu = self.fresh_emulator()
        token = emu.login()
        container, service_url, sas = self.blob_target(emu, path_kind, token, guid)
        result = self.curl_blocks(service_url + "/bench/curl.bin", sas, mode)
        ids = self.block_ids()
        self.check_blob(emu, container, "bench/curl.bin", "curl", ids)
        return result

    def curl_blocks(self, blob_url, sas, mode="stream", ca_file=None):
        """One curl process sends the blocks of the blob file one at a time
        over one connection, then the block list; see blob_curl. ca_file:
        the CA of an https endpoint."""
        common = CURL_COMMON + (["--cacert", ca_file] if ca_file else [])
        ids = self.block_ids()
        block_list = os.path.join(self.work, "blocklist.xml")
        with open(block_list, "w") as f:
            f.write('<?xml version="1.0" encoding="utf-8"?> <BlockList>' + "".join(
                "<Uncommitted>%s</Uncommitted>" % i for i in ids) + "</BlockList>")
        argv = ["curl"]
        for block_id, block in zip(ids, self.args.blob_blocks):
            body = (["-X", "PUT", "-H", "Content-Type:", "--data-binary", "@" + block]
                    if mode == "memory" else ["-T", block])
            argv += common + ["-o", "/dev/null", "-w", "%{http_code}\\n"] + body + [
                "%s?comp=block&blockid=%s&%s" % (
                    blob_url, urllib.parse.quote(block_id, safe=""), sas), "--next"]
        argv += common + ["-o", "/dev/null", "-w", "%{http_code}\\n", "-T", block_list,
                          "%s?comp=blocklist&%s" % (blob_url, sas)]
        statuses = os.path.join(self.work, "curl-blocks.txt")
        code, wall, user, system, _ = run_measured(argv, statuses)
        with open(statuses) as f:
            codes = f.read().split()
        if code != 0 or len(codes) != len(ids) + 1 or any(c != "201" for c in codes):
            raise RuntimeError("curl block upload failed: exit %d, statuses %s" % (code, codes))
        return {"ok": True, "bytes": self.args.blob_size, "wall_s": wall, "user_s": user,
                "sys_s": system, "maxrss_kib": 0}

    def blob_sdk(self, path_kind, guid, block, concurrency):
        cache_whole(self.args.blob_file)
        emu = self.fresh_emulator()
        token = emu.login()
        container, service_url, sas = self.blob_target(emu, path_kind, token, guid)
        result = self.sdk_run(service_url, sas, [self.args.blob_file], block, concurrency)
        self.check_blob(emu, container, "bench/sdk.bin", "sdk")
        return result

    @staticmethod
    def sdk_run_argv(service_url, sas, files, block, concurrency, folder=None, ca_file=None):
        argv = ["/usr/bin/python3", os.path.join(HERE, "sdk_upload.py"),
                "--container-url", service_url, "--sas", sas,
                "--concurrency", str(concurrency)]
        if ca_file:
            argv += ["--ca-file", ca_file]
        argv += ["--folder", folder] if folder else ["--blob", "bench/sdk.bin"]
        if block:
            argv += ["--block-size", str(block)]
        return argv + ["--file"] + list(files)

    def sdk_run(self, service_url, sas, files, block, concurrency, folder=None, ca_file=None):
        """The SDK uploads the files (to bench/sdk.bin, or each to FOLDER/its
        name); returns its RESULT."""
        argv = self.sdk_run_argv(service_url, sas, files, block, concurrency, folder, ca_file)
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
        return result

    # WAN-like link: the library and the SDK through bench/wan_link.py
    @contextlib.contextmanager
    def far_store(self, emu, link, tls=False):
        """Azurite as seen from far away: through a fresh WAN-like link
        (round trip ms, Mbit/s; (0, 0) the plain relay), with tls through a
        fresh nginx TLS front behind the link, so every TCP and TLS handshake
        crosses it; link None is Azurite itself. Yields (account URL, CA
        file or None, the link or None); the link's STATS are read once it
        has stopped."""
        front = wan = None
        try:
            upstream = emu.ports["azurite"]
            if tls:
                front = TlsFront(self.work, upstream).start()
                upstream = front.port
            if link is None:
                base = front.base if front else emu.azurite_base
            else:
                wan = WanLink(self.work, upstream, link[0], link[1],
                              self.args.wan_window).start()
                base = "%s://127.0.0.1:%d/%s" % ("https" if tls else "http", wan.port,
                                                 azstore.ACCOUNT)
            yield base, front and front.ca_file, wan
        finally:
            if wan is not None:
                wan.stop()
            if front is not None:
                front.stop()

    def library_settings(self, who):
        """The settings-file lines of a library contender named
        "library[-pN][-single][-md5][-enc]": N parallel blocks (and at least
        N streams), one request per file up to 4 MiB, MD5 on, client-side
        encryption with the run's key file; MD5 is set off explicitly
        otherwise."""
        settings = list(self.args.blob_setting)
        words = who.split("-")[1:]
        for word in words:
            if word.startswith("p"):
                n = int(word[1:])
                settings.append("DRBackupUploadParallelBlocks = %d" % n)
                settings.append("DRBackupUploadStreamCount = %d" % max(n, BLOB_STREAMS))
            elif word == "single":
                settings.append("DRBackupUploadSingleRequestMiB = 4")
            elif word == "enc":
                settings.append("DRBackupEncryptionKeyFile = %s" % self.key_file())
        settings.append("bEnableZUCloudDRBackupContentMD5 = %s" % (
            "true" if "md5" in words else "false"))
        return settings

    def wan_upload(self, guid, link, who, tls=False, path=None):
        """One upload of the WAN file (or `path`) to Azurite through a fresh
        link, see far_store. `who`: a library contender (library_settings)
        or "sdk-cN" (16 MiB blocks, max_concurrency N)."""
        emu = self.fresh_emulator()
        token = emu.login()
        path = path or self.args.wan_file
        size = os.path.getsize(path)
        with self.far_store(emu, link, tls) as (base, ca_file, wan):
            container, service_url, sas = self.blob_target(emu, "direct", token, guid,
                                                           base=base)
            if who.startswith("library"):
                result = self.library_blob(
                    emu, guid, path, self.library_settings(who), "wan-" + who,
                    extra_env=ca_file and {"ZUCLOUD_CA_FILE": ca_file})
                name, blocks = "bench/" + os.path.basename(path), self.block_ids(
                    -(-size // BLOB_BLOCK))
            else:
                result = self.sdk_run(service_url, sas, [path], BLOB_BLOCK,
                                      int(who.split("-c")[1]), ca_file=ca_file)
                name, blocks = "bench/sdk.bin", None
        result["relay_cpu_s"] = wan.stats.get("cpu_s") if wan is not None else None
        encrypted = who.startswith("library") and "enc" in who.split("-")
        self.check_blob(emu, container, name, "wan " + who, blocks,
                        stored_size(size) if encrypted else size)
        if encrypted:
            props = azstore.BlobStore(emu.azurite_base).blob_properties(container, name)
            if "x-ms-meta-encryptiondata" not in (props or {}):
                raise RuntimeError("wan %s: the blob carries no encryptiondata" % who)
        return result

    # discard sink: nginx answering 201
    def sink_target(self, guid, tls=False):
        """An emulator for the set-up whose reply names the sink (over https
        with tls); (container URL on the sink, SAS)."""
        if self.sink is not None and self.sink.tls != tls:
            self.sink.stop()
            self.sink = None
        if self.sink is None:
            self.sink = DiscardSink(self.work, tls).start()
        emu = self.fresh_emulator()
        token = emu.login()
        _, service_url, sas = self.blob_target(emu, "direct", token, guid, base=self.sink.base)
        return emu, service_url, sas

    def sink_check(self, offset, size, who, block_size=None):
        """What the sink received since `offset`: every byte of the file in
        Put Blocks answered 201 (each block id once, all of block_size but
        the last when given) and one Put Block List. Returns (block count,
        largest block)."""
        entries = self.sink.requests_since(offset)
        blocks = {}
        for e in entries:
            if e["method"] == "PUT" and e["comp"] == "block" and e["status"] == 201:
                blocks[e["blockid"]] = e["length"]
        lists = [e for e in entries if e["method"] == "PUT" and e["comp"] == "blocklist"
                 and e["status"] == 201]
        lengths = list(blocks.values())
        if sum(lengths) != size or len(lists) != 1:
            raise RuntimeError("%s: the sink got %d bytes in %d blocks and %d block lists, "
                               "not %d bytes and one list" % (who, sum(lengths), len(lengths),
                                                              len(lists), size))
        if block_size and any(n != block_size for n in sorted(lengths)[1:]):
            raise RuntimeError("%s: blocks of %r bytes, not %d" % (
                who, sorted(set(lengths)), block_size))
        return len(lengths), max(lengths) if lengths else 0

    def sink_library(self, guid, who, settings, path=None, allow_refusal=False, tls=False,
                     stored=None):
        """One upload of `path` (the blob file) to the sink; `stored` the bytes
        the sink must receive when they are not the file's size (encryption)."""
        path = path or self.args.blob_file
        emu, _, _ = self.sink_target(guid, tls)
        offset = self.sink.log_offset()
        result = self.library_blob(emu, guid, path, list(self.args.blob_setting) + settings,
                                   "sink-" + who, allow_refusal=allow_refusal,
                                   extra_env=tls and {"ZUCLOUD_CA_FILE": self.sink.ca_file})
        if result["ok"]:
            time.sleep(0.2)  # nginx writes the last log line as the request ends
            result["blocks"], result["block_size"] = self.sink_check(
                offset, stored or os.path.getsize(path), who)
        return result

    def sink_https(self, guid, who):
        """One upload to the TLS sink (see SINK_HTTPS). The contenders read
        alike: "library" and "curl" a file resident in the page cache whole
        (the library with bEnableZUCloudDRBackupKeepPageCache true, so that
        its reads leave the file there, as curl's do), "-cold" ones a file
        whose pages were dropped first (the library with its default of
        dropping what it read)."""
        cold = who.endswith("-cold")
        curl = who.startswith("curl")
        for path in self.args.blob_blocks if curl else [self.args.blob_file]:
            if cold:
                drop_cached(path)
            else:
                cache_whole(path)
        if curl:
            return self.sink_curl(guid, tls=True)
        settings = [] if cold else ["bEnableZUCloudDRBackupKeepPageCache = true"]
        return self.sink_library(guid, "https" + ("-cold" if cold else ""), settings, tls=True)

    def sink_curl(self, guid, tls=False):
        _, service_url, sas = self.sink_target(guid, tls)
        offset = self.sink.log_offset()
        result = self.curl_blocks(service_url + "/bench/curl.bin", sas,
                                  ca_file=self.sink.ca_file)
        time.sleep(0.2)
        self.sink_check(offset, self.args.blob_size, "curl", BLOB_BLOCK)
        return result

    def encryption_sink(self, guid, encrypted):
        """The blob file to the http discard sink, resident in the page cache
        whole first and kept there, MD5 off, with client-side encryption on
        or off; the sink must receive the stored length when on."""
        path = self.args.blob_file
        cache_whole(path)
        settings = ["bEnableZUCloudDRBackupKeepPageCache = true",
                    "bEnableZUCloudDRBackupContentMD5 = false"]
        if encrypted:
            settings.append("DRBackupEncryptionKeyFile = %s" % self.key_file())
        return self.sink_library(guid, "enc-on" if encrypted else "enc-off", settings, path,
                                 stored=stored_size(os.path.getsize(path)) if encrypted
                                 else None)

    @staticmethod
    def with_file_count(emu, container, folder, files, result, what):
        """`result` with the number of `files` added, once `container` holds
        as many blobs below "`folder`/"; RuntimeError names `what` otherwise."""
        names = [n for n in azstore.BlobStore(emu.azurite_base).list_blobs(container)
                 if n.startswith(folder + "/")]
        if len(names) != len(files):
            raise RuntimeError("%s: %d blobs stored, not %d" % (what, len(names), len(files)))
        result["files"] = len(files)
        return result

    # many small files, to Azurite
    def small_upload(self, guid, who):
        emu = self.fresh_emulator()
        token = emu.login()
        container, service_url, sas = self.blob_target(emu, "direct", token, guid)
        files = self.args.small_files
        if who == "library":
            result = self.library_blob(emu, guid, files, list(self.args.blob_setting),
                                       "small-library", folder="small")
        else:
            result = self.sdk_run(service_url, sas, files, None, 1, folder="small")
        return self.with_file_count(emu, container, "small", files, result, "small files, " + who)

    # small files over https across a WAN-like link
    def https_small(self, guid, link, who):
        """The https files through a fresh link (round trip ms, Mbit/s) to a
        fresh nginx TLS front before Azurite (far_store). `who`: "library"
        (the defaults), "library-single" (DRBackupUploadSingleRequestMiB 4),
        "sdk" (upload_blob per file, one client)."""
        emu = self.fresh_emulator()
        token = emu.login()
        files = self.args.https_files
        with self.far_store(emu, link, tls=True) as (base, ca_file, _):
            container, service_url, sas = self.blob_target(emu, "direct", token, guid,
                                                           base=base)
            if who.startswith("library"):
                result = self.library_blob(emu, guid, files, self.library_settings(who),
                                           "https-" + who, folder="https",
                                           extra_env={"ZUCLOUD_CA_FILE": ca_file})
            else:
                result = self.sdk_run(service_url, sas, files, None, 1, folder="https",
                                      ca_file=ca_file)
        return self.with_file_count(emu, container, "https", files, result, "https files, " + who)

    # a file past 50,000 blocks, to the sink
    def large_upload(self, guid):
        path = self.args.large_file
        size = os.path.getsize(path)
        block = self.args.large_block_mib
        log("large file: %d GiB sparse at DRBackupUploadBlobSize %d MiB (%d blocks at that "
            "size); at 0.5 to 1 GiB/s that is %d to %d minutes" % (
                size // GIB, block, -(-size // (block * MIB)), size // GIB / 60 + 1,
                size // GIB / 30 + 1))
        log_file = os.path.join(self.logdir, "ZUCloudService.log")
        log_offset = os.path.getsize(log_file) if os.path.exists(log_file) else 0
        result = self.sink_library(guid, "large", ["DRBackupUploadBlobSize = %d" % block],
                                   path, allow_refusal=True)
        result["log_lines"] = []
        if os.path.exists(log_file):
            with open(log_file, errors="replace") as f:
                f.seek(log_offset)
                # The line about the block size chosen for the file, not
                # the per-block lines (which carry "Block No.").
                result["log_lines"] = [
                    line.strip() for line in f if "Block No." not in line and (
                        "block size" in line.lower() or "50,000" in line
                        or "50000" in line)][:3]
        result["load"] = loadavg()
        return result

    # the page cache an upload leaves
    def pagecache_upload(self, guid, service, keep):
        """Uploads the blob (or folder) file, resident whole beforehand, with
        bEnableZUCloudDRBackupKeepPageCache off or on; returns the RESULT
        with the file's resident bytes before and after UploadFile."""
        word = "keep" if keep else "drop"
        settings = ["bEnableZUCloudDRBackupKeepPageCache = %s" % ("true" if keep else "false")]
        emu = self.fresh_emulator()
        if service == "blob":
            path = self.args.blob_file
            settings.append("DRBackupUploadParallelBlocks = %d" % self.args.pagecache_parallel)
            container, _, _ = self.blob_target(emu, "proxy", emu.login(), guid)
            before = cache_whole(path)
            result = self.library_blob(emu, guid, path, settings, "pagecache-blob-" + word)
            after = resident_bytes(path)
            self.check_blob(emu, container, "bench/" + os.path.basename(path), "pagecache")
        else:
            path = self.args.folder_file
            env = self.library_env("folder.conf", "[GlobalParam]\nCloud URL = %s\n%s\n" % (
                emu.web, "\n".join(settings)), {"BENCH_GUID": guid, "BENCH_MTIME": MTIME})
            before = cache_whole(path)
            result = self.run_library(self.args.folder_program, path, env,
                                      "pagecache-folder-" + word)
            after = resident_bytes(path)
            self.check_folder_file(emu, "pagecache")
        result["cached_before"], result["cached_after"] = before, after
        log("%s, page cache %s: %.1f MiB of the file resident before, %.1f MiB after" % (
            service, word, before / MIB, after / MIB))
        return result

    # the run
    def run(self):
        guid = "b3a1c2d4-0000-4e5f-8a9b-" + os.urandom(6).hex()
        self.run_folder_and_blob(guid)
        want = lambda part: part in self.args.only
        rounds = self.args.rounds
        if want("folder-far"):
            log("folder service across a WAN-like link: %d files of %d bytes, links %s, "
                "%d rounds" % (len(self.args.folder_small_files), self.args.small_size,
                               ", ".join("%g ms / %g Mbit/s" % l
                                         for l in self.args.folder_links), rounds))
            for _ in range(rounds):
                for link in self.args.folder_links:
                    self.record("folder-%g-%g/library" % link, self.folder_far(guid, link))
        if want("wan"):
            log("WAN-like link: %d MiB file, links %s, %d rounds" % (
                self.args.wan_size // MIB, ", ".join("%g ms / %g Mbit/s" % l
                                                     for l in self.args.wan_links), rounds))
            for i in range(rounds):
                self.record("wan-relay/sdk-c16", self.wan_upload(guid, (0, 0), "sdk-c16"))
                self.record("wan-azurite/sdk-c16", self.wan_upload(guid, None, "sdk-c16"))
                for link in self.args.wan_links:
                    for who in rotated(("library", "library-p10", "sdk-c1", "sdk-c10"), i):
                        self.record("wan-%g-%g/%s" % (link + (who,)),
                                    self.wan_upload(guid, link, who))
        if want("sink"):
            log("discard sink: %d MiB file, parallel blocks %s, %d rounds" % (
                self.args.blob_size // MIB, self.args.sink_parallel, rounds))
            for i in range(rounds):
                for n in rotated(self.args.sink_parallel + [0], i):
                    if n == 0:
                        self.record("sink/curl", self.sink_curl(guid))
                    else:
                        self.record("sink/library-p%d" % n, self.sink_library(
                            guid, "p%d" % n, ["DRBackupUploadParallelBlocks = %d" % n]))
        if want("sink-https"):
            log("discard sink over https: %d MiB file, %d rounds" % (
                self.args.blob_size // MIB, rounds))
            for i in range(rounds):
                for who in rotated(SINK_HTTPS, i):
                    self.record("sink-https/" + who, self.sink_https(guid, who))
        if want("cap"):
            log("cap %d Mbit/s to the sink: %d MiB file, parallel blocks %s, %d rounds" % (
                self.args.cap_mbps, self.args.blob_size // MIB, self.args.cap_parallel, rounds))
            for i in range(rounds):
                for n in rotated(self.args.cap_parallel, i):
                    self.record("cap/library-p%d" % n, self.sink_library(
                        guid, "cap-p%d" % n, ["DRBackupUploadMaxMbps = %d" % self.args.cap_mbps,
                                              "DRBackupUploadParallelBlocks = %d" % n]))
        if want("small"):
            log("small files: %d of %d bytes, %d rounds" % (
                len(self.args.small_files), self.args.small_size, rounds))
            for _ in range(rounds):
                self.record("small/library", self.small_upload(guid, "library"))
                self.record("small/sdk", self.small_upload(guid, "sdk"))
        if want("md5"):
            log("MD5 on and off to the discard sink: %d MiB file, %d rounds" % (
                self.args.blob_size // MIB, rounds))
            for i in range(rounds):
                for on in rotated((False, True), i):
                    word = "on" if on else "off"
                    self.record("md5/" + word, self.sink_library(
                        guid, "md5-" + word,
                        ["bEnableZUCloudDRBackupContentMD5 = %s" % ("true" if on else "false")]))
            self.md5_speed = openssl_md5_speed()
        if want("encryption"):
            log("encryption on and off: %d MiB file to the discard sink, %d MiB file through "
                "links %s with 10 parallel blocks, %d rounds" % (
                    self.args.blob_size // MIB, self.args.wan_size // MIB,
                    ", ".join("%g ms / %g Mbit/s" % l for l in self.args.encryption_links),
                    rounds))
            for i in range(rounds):
                for on in rotated((False, True), i):
                    self.record("enc-sink/" + ("on" if on else "off"),
                                self.encryption_sink(guid, on))
                for link in self.args.encryption_links:
                    for who in rotated(("library-p10", "library-p10-enc"), i):
                        self.record("enc-wan-%g-%g/%s" % (link + (who,)),
                                    self.wan_upload(guid, link, who))
            self.aes_speed = openssl_aes_gcm_speed()
        if want("https"):
            log("small files over https: %d of %d bytes, links %s, %d rounds" % (
                len(self.args.https_files), self.args.small_size,
                ", ".join("%g ms / %g Mbit/s" % l for l in self.args.https_links), rounds))
            for i in range(rounds):
                for link in self.args.https_links:
                    for who in rotated(("library", "library-single", "sdk"), i):
                        self.record("https-%g-%g/%s" % (link + (who,)),
                                    self.https_small(guid, link, who))
        if want("https-large"):
            log("large file over https: %d MiB, links %s, %d rounds" % (
                self.args.https_large_mib, ", ".join("%g ms / %g Mbit/s" % l
                                                     for l in self.args.https_large_links),
                rounds))
            for i in range(rounds):
                for link in self.args.https_large_links:
                    for who in rotated(HTTPS_LARGE, i):
                        self.record("large-https-%g-%g/%s" % (link + (who,)), self.wan_upload(
                            guid, link, who, tls=True, path=self.args.https_large_file))
        if want("pagecache"):
            log("page cache after the upload: %d MiB blob file at %d parallel blocks, %d MiB "
                "folder file, keep off and on, %d rounds" % (
                    self.args.blob_size // MIB, self.args.pagecache_parallel,
                    self.args.folder_size // MIB, rounds))
            for i in range(rounds):
                for service in ("blob", "folder"):
                    for keep in rotated((False, True), i):
                        self.record("pagecache-%s/%s" % (service, "keep" if keep else "drop"),
                                    self.pagecache_upload(guid, service, keep))
        if want("large"):
            self.large_result = self.large_upload(guid)
        self.stop()

    def run_folder_and_blob(self, guid):
        rounds = self.args.rounds
        want = lambda part: part in self.args.only
        if want("folder"):
            log("folder service: %d MiB file, %d rounds" % (self.args.folder_size // MIB,
                                                              rounds))
            emu = self.fresh_emulator()
            for _ in range(rounds):
                self.record("folder/library", self.folder_library(emu, guid))
                self.record("folder/curl", self.folder_curl(emu, guid))
                self.record("folder/curl-data-binary",
                            self.folder_curl(emu, guid, "data-binary"))
                self.record("folder/curl-close", self.folder_curl(emu, guid, "close"))
        if not (self.args.only & {"blob-library", "blob-curl", "sdk"}):
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

    def sdk_variants(self, path_kind):
        variants = [("sdk-defaults", None, 1), ("sdk-16MiB-c1", BLOB_BLOCK, 1)]
        if self.args.sdk_parallel and path_kind == "direct":
            variants.append(("sdk-16MiB-c%d" % BLOB_STREAMS, BLOB_BLOCK, BLOB_STREAMS))
        return variants


# -- the report --------------------------------------------------------------

def openssl_md5_speed():
    """OpenSSL's own MD5 rate on this machine, bytes/s over 16 KiB pieces
    (`openssl speed -evp md5`), or None when it cannot be read."""
    try:
        out = subprocess.run(["openssl", "speed", "-seconds", "3", "-bytes", "16384",
                              "-evp", "md5"], capture_output=True, text=True,
                             timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[0] == "md5" and fields[1].endswith("k"):
            return float(fields[1][:-1]) * 1000
    return None


def openssl_aes_gcm_speed():
    """OpenSSL's own AES-256-GCM rate on this machine: bytes per CPU second
    of its largest block size (`openssl speed -evp aes-256-gcm`, 16384
    bytes), or None when it cannot be read."""
    try:
        out = subprocess.run(["openssl", "speed", "-evp", "aes-256-gcm"],
                             capture_output=True, text=True, timeout=120).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    for line in out.splitlines():
        if line.upper().startswith("AES-256-GCM"):
            last = line.split()[-1]
            if last.endswith("k"):
                return float(last[:-1]) * 1000
    return None


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


def mbit(results):
    """Mbit/s (10^6 bits) of the median wall time."""
    return results[0]["bytes"] * 8 / 1e6 / median(results, "wall_s")


def load_range(*result_lists):
    loads = [r["load"] for results in result_lists for r in results]
    return "%.1f-%.1f" % (min(loads), max(loads)) if loads else "-"


def round_ratio(slow, fast):
    """Median over rounds of slow's wall time / fast's: how many times
    faster `fast` was (rounds are interleaved, so each pair ran together)."""
    return statistics.median(a["wall_s"] / b["wall_s"] for a, b in zip(slow, fast))


def verdict(ok):
    return "PASS" if ok else "MISS"


def wan_report(bench, args):
    res = bench.results
    if not any(k.startswith("wan-") for k in res):
        return [], []
    relay = res.get("wan-relay/sdk-c16")
    direct = res.get("wan-azurite/sdk-c16")
    capacity = mbit(relay) if relay else None
    relay_cpu = [r["relay_cpu_s"] / (r["bytes"] / GIB) for key, rs in res.items()
                 if key.startswith("wan-") for r in rs if r.get("relay_cpu_s") is not None]
    out = ["WAN-like link (bench/wan_link.py between the uploader and Azurite), %d MiB blob; "
           "what the relay itself carries (no delay, no cap, SDK 16 MiB blocks at "
           "max_concurrency 16): %s; the same straight to Azurite: %s; the relay's own CPU "
           "time: %s" % (
               args.wan_size // MIB,
               "%.0f Mbit/s (load %s)" % (capacity, load_range(relay)) if relay else "-",
               "%.0f Mbit/s (load %s)" % (mbit(direct), load_range(direct)) if direct
               else "-",
               "%.2f s per GiB (median of its runs)" % statistics.median(relay_cpu)
               if relay_cpu else "-"),
           "What can pass: the smaller of the link and what the relay carries, taken as the "
           "larger of its plain run and the best contender's rate on that link."]
    rows = [("link", "contender", "Mbit/s", "share of link",
             "share of what can pass", "target", "verdict", "load")]
    misses = []
    names = {"library": "library, default (1 block in flight)",
             "library-p10": "library, ParallelBlocks 10",
             "sdk-c1": "SDK 16 MiB, c=1", "sdk-c10": "SDK 16 MiB, c=10"}
    for link in args.wan_links:
        prefix = "wan-%g-%g/" % link
        # What the relay can carry is at least what its plain run carried and
        # at least what any contender got through it on this link (on a
        # loaded machine the plain run can come out lower than the latter).
        carried = [mbit(res[prefix + who]) for who in names if prefix + who in res]
        relay_can = max([capacity or 0] + carried)
        carriable = min(link[1], relay_can)
        for who, name in names.items():
            r = res.get(prefix + who)
            if not r:
                continue
            rate = mbit(r)
            target, ok = "-", None
            if who == "library-p10":
                target = ">= 0.90 of %.0f" % carriable
                ok = rate >= 0.9 * carriable
            rows.append(("%g ms / %g Mbit/s" % link, name, "%.0f" % rate,
                         "%.2f" % (rate / link[1]), "%.2f" % (rate / carriable), target,
                         "info" if ok is None else verdict(ok), load_range(r)))
            if ok is False:
                misses.append(rows[-1])
        lib, sdk = res.get(prefix + "library-p10"), res.get(prefix + "sdk-c10")
        if lib and sdk:
            ratio = round_ratio(sdk, lib)
            rows.append(("%g ms / %g Mbit/s" % link, "library p10 / SDK c=10 (rounds)", "",
                         "", "%.2f" % ratio, ">= 1.00", verdict(ratio >= 1.0),
                         load_range(lib, sdk)))
            if ratio < 1.0:
                misses.append(rows[-1])
        lib, sdk = res.get(prefix + "library"), res.get(prefix + "sdk-c10")
        if lib and sdk:
            rows.append(("%g ms / %g Mbit/s" % link, "SDK c=10 time / library default time",
                         "", "", "%.2f" % (1 / round_ratio(sdk, lib)), "-", "info",
                         load_range(lib, sdk)))
    return out + table(rows), misses


def sink_report(bench, args):
    res = bench.results
    curl = res.get("sink/curl")
    libs = [(n, res["sink/library-p%d" % n]) for n in args.sink_parallel
            if "sink/library-p%d" % n in res]
    if not curl and not libs:
        return [], []
    out = ["Discard sink (nginx answering 201), %d MiB file, 16 MiB blocks; curl sends the "
           "same blocks one at a time over one connection" % (args.blob_size // MIB)]
    rows = [("contender", "MiB/s", "throughput / curl", "target", "verdict",
             "UploadFile CPU s/GiB", "process CPU s/GiB", "CPU / curl", "target", "verdict",
             "load")]
    misses = []
    curl_cpu = cpu_per_gib(curl) if curl else None
    for n, r in libs:
        ratio = round_ratio(curl, r) if curl else None
        tput_target = ">= 0.80" if n >= 2 else "-"
        tput_ok = None if (ratio is None or n < 2) else ratio >= 0.8
        cpu = cpu_per_gib(r)
        proc = statistics.median(x["proc_cpu_s"] / (x["bytes"] / GIB) for x in r)
        cpu_ratio = cpu / curl_cpu if curl_cpu else None
        cpu_ok = None if cpu_ratio is None else cpu_ratio <= 1.3
        rows.append(("library, ParallelBlocks %d" % n, "%.1f" % throughput(r),
                     "-" if ratio is None else "%.2f" % ratio, tput_target,
                     "info" if tput_ok is None else verdict(tput_ok), "%.2f" % cpu,
                     "%.2f" % proc, "-" if cpu_ratio is None else "%.2f" % cpu_ratio,
                     "<= 1.30", "-" if cpu_ok is None else verdict(cpu_ok),
                     load_range(r, curl or [])))
        if tput_ok is False or cpu_ok is False:
            misses.append(rows[-1])
    if curl:
        rows.append(("curl, one block at a time", "%.1f" % throughput(curl), "1.00", "-", "-",
                     "%.2f" % curl_cpu, "%.2f" % curl_cpu, "1.00", "-", "-",
                     load_range(curl)))
    return out + table(rows), misses


def sink_https_report(bench, args):
    """CPU per GiB of the library's UploadFile over https to the TLS sink
    against curl's sending the same blocks over https: both reading a file
    resident in the page cache (the target), and for information both
    reading it from the disk."""
    res = bench.results
    lib, curl = res.get("sink-https/library"), res.get("sink-https/curl")
    if not lib or not curl:
        return [], []
    per_gib = lambda x: (x["user_s"] + x["sys_s"]) / (x["bytes"] / GIB)
    ratios = lambda a, b: [per_gib(x) / per_gib(y) for x, y in zip(a, b)]
    spread = lambda values: "%.2f (%.2f-%.2f)" % (statistics.median(values), min(values),
                                                  max(values))
    ratio = statistics.median(ratios(lib, curl))
    ok = ratio <= 1.0
    rows = [("contender", "reads", "MiB/s", "UploadFile CPU s/GiB (range)", "process CPU s/GiB",
             "CPU / curl (rounds)", "target", "verdict", "load")]
    for label, mine, theirs, reads, target in (
            ("library, keep page cache", lib, curl, "cached", "<= 1.00"),
            ("library, defaults", res.get("sink-https/library-cold"),
             res.get("sink-https/curl-cold"), "disk", "-")):
        if not mine:
            continue
        rows.append((label, reads, "%.1f" % throughput(mine), spread([per_gib(x) for x in mine]),
                     "%.2f" % statistics.median(x["proc_cpu_s"] / (x["bytes"] / GIB)
                                                for x in mine),
                     spread(ratios(mine, theirs)) if theirs else "-", target,
                     verdict(ok) if target != "-" else "info", load_range(mine, theirs or [])))
    for label, theirs, reads in (("curl, one block at a time", curl, "cached"),
                                 ("curl, the same", res.get("sink-https/curl-cold"), "disk")):
        if theirs:
            rows.append((label, reads, "%.1f" % throughput(theirs),
                         spread([per_gib(x) for x in theirs]), "%.2f" % cpu_per_gib(theirs),
                         "1.00", "-", "-", load_range(theirs)))
    return (["Discard sink over https (nginx with TLS answering 201), %d MiB file, 16 MiB "
             "blocks; curl sends the same blocks one at a time over one https connection; "
             "medians, ranges in brackets" % (args.blob_size // MIB)] + table(rows),
            [] if ok else [rows[1]])


def md5_report(bench, args):
    """MD5 on against off: the CPU UploadFile spends on the digests, beside
    the CPU OpenSSL needs for the two passes over the data they take (the
    block's MD5 and the whole file's)."""
    res = bench.results
    on, off = res.get("md5/on"), res.get("md5/off")
    if not on or not off:
        return [], []
    out = ["MD5 on against off (bEnableZUCloudDRBackupContentMD5), %d MiB file to the discard "
           "sink, 16 MiB blocks, rounds interleaved" % (args.blob_size // MIB)]
    rows = [("run", "MiB/s", "UploadFile CPU s/GiB", "load")]
    for label, r in (("MD5 off", off), ("MD5 on", on)):
        rows.append((label, "%.1f" % throughput(r), "%.2f" % cpu_per_gib(r), load_range(r)))
    out += table(rows)
    # Each round's pair ran back to back: the median of the per-round
    # differences is less exposed to a drifting load than two medians.
    extra = statistics.median((a["user_s"] + a["sys_s"]) / (a["bytes"] / GIB)
                              - (b["user_s"] + b["sys_s"]) / (b["bytes"] / GIB)
                              for a, b in zip(on, off))
    misses = []
    if bench.md5_speed:
        one_pass = GIB / bench.md5_speed
        target = 2 * one_pass * 1.25
        ok = extra <= target
        out.append("")
        out.append("MD5 cost: %.2f CPU s/GiB more with MD5 on (median of per-round differences); "
                   "openssl speed -evp md5: %.0f MB/s = %.2f s/GiB per pass, two passes %.2f "
                   "s/GiB; target <= 1.25 x two passes = %.2f s/GiB: %s" % (
                       extra, bench.md5_speed / 1e6, one_pass, 2 * one_pass, target,
                       verdict(ok)))
        if not ok:
            misses.append(("md5 cost", "%.2f" % extra, "", "", "", "MISS"))
    else:
        out.append("")
        out.append("MD5 cost: %.2f CPU s/GiB more with MD5 on; openssl speed could not be "
                   "read" % extra)
    return out, misses


def encryption_report(bench, args):
    """Client-side encryption on against off: the extra CPU per GiB to the
    http discard sink against OpenSSL's own AES-256-GCM cost (target at most
    twice that), and the throughput through the WAN-like link with 10
    parallel blocks (target at least 0.90 of without)."""
    res = bench.results
    on, off = res.get("enc-sink/on"), res.get("enc-sink/off")
    out, misses = [], []
    per_gib = lambda x: (x["user_s"] + x["sys_s"]) / (x["bytes"] / GIB)
    proc_gib = lambda x: x["proc_cpu_s"] / (x["bytes"] / GIB)
    spread = lambda values, f="%.2f": (f + " (" + f + "-" + f + ")") % (
        statistics.median(values), min(values), max(values))
    if on and off:
        out.append("Encryption on against off (DRBackupEncryptionKeyFile), %d MiB file to the "
                   "discard sink over http, 16 MiB blocks, one block in flight, MD5 off, the "
                   "file resident in the page cache; CPU per GiB of the file; medians, ranges "
                   "in brackets" % (args.blob_size // MIB))
        rows = [("run", "MiB/s", "UploadFile CPU s/GiB", "process CPU s/GiB", "load")]
        for label, r in (("encryption off", off), ("encryption on", on)):
            rows.append((label, "%.1f" % throughput(r), spread([per_gib(x) for x in r]),
                         spread([proc_gib(x) for x in r]), load_range(r)))
        out += table(rows)
        # Each round's pair ran back to back: median of per-round differences.
        extra = [per_gib(a) - per_gib(b) for a, b in zip(on, off)]
        out.append("")
        if bench.aes_speed:
            one_pass = GIB / bench.aes_speed
            ok = statistics.median(extra) <= 2 * one_pass
            out.append("Encryption cost: %s CPU s/GiB more with encryption on (median of "
                       "per-round differences); openssl speed -evp aes-256-gcm: %.0f MB/s at "
                       "16384 bytes = %.2f s/GiB; target <= 2 x that = %.2f s/GiB: %s" % (
                           spread(extra), bench.aes_speed / 1e6, one_pass, 2 * one_pass,
                           verdict(ok)))
            if not ok:
                misses.append(("encryption cpu",))
        else:
            out.append("Encryption cost: %s CPU s/GiB more with encryption on; openssl speed "
                       "could not be read" % spread(extra))
    rows = []
    for link in args.encryption_links:
        prefix = "enc-wan-%g-%g/" % link
        plain, enc = res.get(prefix + "library-p10"), res.get(prefix + "library-p10-enc")
        if not plain or not enc:
            continue
        name = "%g ms / %g Mbit/s" % link
        rate = lambda x: x["bytes"] * 8 / 1e6 / x["wall_s"]
        for label, r in (("encryption off", plain), ("encryption on", enc)):
            rows.append((name, label, spread([rate(x) for x in r], "%.0f"),
                         "%.2f" % (mbit(r) / link[1]), spread([per_gib(x) for x in r]), "",
                         "", load_range(r)))
        ratios = [a["wall_s"] / b["wall_s"] for a, b in zip(plain, enc)]
        ok = statistics.median(ratios) >= 0.9
        rows.append((name, "on / off (per-round time ratios)", "", "", "", spread(ratios),
                     ">= 0.90 " + verdict(ok), load_range(plain, enc)))
        if not ok:
            misses.append(rows[-1])
    if rows:
        out += ([""] if out else []) + [
            "Encryption on against off across a WAN-like link: %d MiB file to Azurite through "
            "the relay, DRBackupUploadParallelBlocks 10 (and 10 streams), MD5 off; Mbit/s of "
            "each round's wall time, median (range)" % (args.wan_size // MIB)]
        out += table([("link", "contender", "Mbit/s", "share of link", "UploadFile CPU s/GiB",
                       "ratio", "target", "load")] + rows)
    return out, misses


def pagecache_report(bench, args):
    """What of the file the page cache holds once UploadFile returned: with
    the pages dropped as they are read at most the blocks in flight; with
    bEnableZUCloudDRBackupKeepPageCache the whole file, for contrast."""
    res = bench.results
    rows = [("upload", "keep page cache", "resident before MiB", "resident after MiB",
             "target MiB", "verdict", "MiB/s", "load")]
    misses = []
    for service, size, limit in (
            ("blob", args.blob_size, args.pagecache_parallel * BLOB_BLOCK),
            ("folder", args.folder_size, FOLDER_CHUNK)):
        for word in ("drop", "keep"):
            r = res.get("pagecache-%s/%s" % (service, word))
            if not r:
                continue
            after = max(x["cached_after"] for x in r)
            before = min(x["cached_before"] for x in r)
            if word == "drop":
                ok = after <= limit and before >= size * 0.99
                target = "<= %.0f" % (limit / MIB)
            else:
                ok, target = None, "(contrast)"
            rows.append(("%s %d MiB" % (service, size // MIB), "on" if word == "keep" else "off",
                         "%.1f" % (before / MIB), "%.1f" % (after / MIB), target,
                         "-" if ok is None else verdict(ok), "%.1f" % throughput(r),
                         load_range(r)))
            if ok is False:
                misses.append(("page cache " + service,))
    if len(rows) == 1:
        return [], []
    out = ["Page cache after the upload: the file made resident whole first (fsync, then "
           "read), then UploadFile; its bytes in the page cache before and after (largest of "
           "%d rounds after, smallest before); target: at most the blocks in flight, blob "
           "%d parallel blocks x 16 MiB, folder one 4 MiB chunk" % (
               args.rounds, args.pagecache_parallel)]
    return out + table(rows), misses


def cap_report(bench, args):
    res = bench.results
    keys = [(n, "cap/library-p%d" % n) for n in args.cap_parallel if "cap/library-p%d" % n in res]
    if not keys:
        return [], []
    out = ["Bandwidth cap: DRBackupUploadMaxMbps = %d, %d MiB file to the discard sink" % (
        args.cap_mbps, args.blob_size // MIB)]
    rows = [("setting", "Mbit/s (median)", "each round", "distance from the cap", "target",
             "verdict", "load")]
    misses = []
    for n, key in keys:
        r = res[key]
        rate = mbit(r)
        distance = rate / args.cap_mbps - 1
        ok = abs(distance) <= 0.05
        rows.append(("ParallelBlocks %d" % n, "%.0f" % rate, " ".join(
            "%.0f" % (x["bytes"] * 8 / 1e6 / x["wall_s"]) for x in r), "%+.1f %%" % (
                100 * distance), "within 5 %", verdict(ok), load_range(r)))
        if not ok:
            misses.append(rows[-1])
    return out + table(rows), misses


def small_report(bench, args):
    res = bench.results
    lib, sdk = res.get("small/library"), res.get("small/sdk")
    if not lib and not sdk:
        return [], []
    count = len(args.small_files)
    out = ["Many small files: %d files of %d bytes to Azurite (library: one process, one "
           "init, one UploadFile per file; SDK: upload_blob per file)" % (count,
                                                                         args.small_size)]
    rows = [("contender", "ms per file", "CPU ms per file", "target", "verdict", "load")]
    misses = []
    per_file = lambda r, f: 1000 * statistics.median(f(x) for x in r) / count
    wall = lambda x: x["wall_s"]
    cpu = lambda x: x["user_s"] + x["sys_s"]
    if lib:
        ok = per_file(lib, cpu) < 5
        rows.append(("library", "%.1f" % per_file(lib, wall), "%.1f" % per_file(lib, cpu),
                     "CPU < 5 ms", verdict(ok), load_range(lib)))
        if not ok:
            misses.append(rows[-1])
    if sdk:
        rows.append(("Python SDK", "%.1f" % per_file(sdk, wall), "%.1f" % per_file(sdk, cpu),
                     "-", "info", load_range(sdk)))
    if lib and sdk:
        ratio = round_ratio(lib, sdk)
        ok = ratio <= 2
        rows.append(("library time / SDK time (rounds)", "%.2f" % ratio, "", "<= 2.00",
                     verdict(ok), load_range(lib, sdk)))
        if not ok:
            misses.append(rows[-1])
    return out + table(rows), misses


def https_report(bench, args):
    res = bench.results
    links = sorted({k.split("/")[0] for k in res if k.startswith("https-")},
                   key=lambda k: [float(x) for x in k.split("-")[1:]])
    if not links:
        return [], []
    count = len(args.https_files)
    out = ["Small files over https across a WAN-like link: %d files of %d bytes through the "
           "relay to an nginx TLS front before Azurite (library: one process, one init, one "
           "UploadFile per file; SDK: upload_blob per file, one client); time per file, "
           "median of the rounds; speed against the SDK's is the median over rounds of "
           "SDK time / library time" % (count, args.small_size)]
    rows = [("link", "contender", "ms per file", "round trips per file", "speed vs SDK",
             "target", "verdict", "load")]
    misses = []
    targets = {"library": 0.7, "library-single": 1.0}
    for link in links:
        rtt = float(link.split("-")[1])
        sdk = res.get(link + "/sdk")
        for who in ("library", "library-single", "sdk"):
            r = res.get(link + "/" + who)
            if not r:
                continue
            per_file = 1000 * median(r, "wall_s") / count
            trips = "%.1f" % (per_file / rtt) if rtt > 0 else "-"
            if who == "sdk" or not sdk:
                rows.append((link[6:], who, "%.1f" % per_file, trips, "-", "-", "info",
                             load_range(r)))
                continue
            speed = round_ratio(sdk, r)
            ok = speed >= targets[who]
            rows.append((link[6:], who, "%.1f" % per_file, trips, "%.2f" % speed,
                         ">= %.1f" % targets[who], verdict(ok), load_range(r, sdk)))
            if not ok:
                misses.append(rows[-1])
    return out + table(rows), misses


def folder_far_report(bench, args):
    res = bench.results
    rows, misses = [], []
    for link in args.folder_links:
        r = res.get("folder-%g-%g/library" % link)
        if not r:
            continue
        count = r[0]["files"]
        per_file = 1000 * median(r, "wall_s") / count
        requests = median(r, "requests") / count
        # What the requests cost at one round trip each, against the time
        # they took: 1.00 when nothing but the round trips counts.
        share = statistics.median(x["requests"] * link[0] / 1000 / x["wall_s"] for x in r)
        ok = share >= 0.85
        kinds = ", ".join("%s %.2f" % (k, n / count)
                          for k, n in sorted(r[0]["request_kinds"].items()))
        rows.append(("%g ms / %g Mbit/s" % link, "%.1f" % per_file,
                     "%.2f (%s)" % (requests, kinds),
                     "%.1f" % (requests * link[0]), "%.2f" % share, ">= 0.85", verdict(ok),
                     load_range(r)))
        if not ok:
            misses.append(rows[-1])
    if not rows:
        return [], []
    return ["Folder service across a WAN-like link: %d files of %d bytes, one init, one "
            "UploadFile per file, the web console and the upload server each behind a link; "
            "requests per file: what the emulator received from the first UploadFile on; "
            "share: requests x round trip / time (median of the rounds)" % (
                len(args.folder_small_files), args.small_size)] + table(
        [("link", "ms per file", "requests per file", "requests x round trip ms", "share",
          "target", "verdict", "load")] + rows), misses


def https_large_report(bench, args):
    res = bench.results
    out, rows, misses = [], [], []
    for link in args.https_large_links:
        prefix = "large-https-%g-%g/" % link
        runs = {who: res[prefix + who] for who in HTTPS_LARGE if prefix + who in res}
        if not runs:
            continue
        name = "%g ms / %g Mbit/s" % link
        for who, r in runs.items():
            rate = mbit(r)
            rows.append((name, who, "%.0f" % rate, "%.2f" % (rate / link[1]), "-", "info",
                         load_range(r)))
        for label, slow, fast, target in (
                ("library p10 / SDK c=10 (rounds)", "sdk-c10", "library-p10", 1.0),
                ("MD5 on / MD5 off (rounds)", "library-p10", "library-p10-md5", 0.9)):
            if slow in runs and fast in runs:
                ratio = round_ratio(runs[slow], runs[fast])
                rows.append((name, label, "", "%.2f" % ratio, ">= %.2f" % target,
                             verdict(ratio >= target), load_range(runs[slow], runs[fast])))
                if ratio < target:
                    misses.append(rows[-1])
    if rows:
        out = ["A large file over https across a WAN-like link: %d MiB through the relay to "
               "an nginx TLS front before Azurite; library with DRBackupUploadParallelBlocks "
               "10 (and 10 streams), MD5 off and on; SDK with 16 MiB blocks at "
               "max_concurrency 10; speed ratios are medians of per-round time ratios"
               % args.https_large_mib]
        out += table([("link", "contender", "Mbit/s", "share of link / ratio", "target",
                       "verdict", "load")] + rows)
    return out, misses


def large_report(bench, args):
    r = bench.large_result
    if r is None:
        return [], []
    size = os.path.getsize(args.large_file)
    budget = BLOB_STREAMS * args.large_block_mib + 32
    out = ["A file past 50,000 blocks: %d GiB sparse file to the discard sink, "
           "DRBackupUploadBlobSize %d MiB (%d blocks at that size); memory budget "
           "DRBackupUploadStreamCount x DRBackupUploadBlobSize + 32 MiB = %d MiB; load %.1f" % (
               size // GIB, args.large_block_mib, -(-size // (args.large_block_mib * MIB)),
               budget, r["load"])]
    rss = r["maxrss_kib"] / 1024
    if r["ok"]:
        ok = rss <= budget
        out.append("  uploaded: %d blocks of %.2f MiB (from the sink's Content-Length), "
                   "%.1f MiB/s, %.0f s; peak RSS %.1f MiB: %s" % (
                       r["blocks"], r["block_size"] / MIB, r["bytes"] / MIB / r["wall_s"],
                       r["wall_s"], rss, verdict(ok)))
    else:
        ok = False
        out.append("  refused after %.2f s (peak RSS %.1f MiB): %s: MISS" % (
            r["wall_s"], rss, r["message"]))
    for line in r["log_lines"]:
        out.append("  log: " + line)
    return out, ([] if ok else [("large file",)])


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
    if len(rss_rows) > 1:
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
    if len(cpu_rows) > 1:
        out += [""] + table(cpu_rows)
    if len(rows) == 1:
        out = out[2:]  # no comparison ran: drop the empty table
    while out and out[0] == "":
        out.pop(0)
    misses = [r for r in rows[1:] if r[5] == "MISS"]
    for section in (folder_far_report, wan_report, sink_report, sink_https_report, cap_report,
                    md5_report, small_report, https_report, https_large_report, large_report,
                    pagecache_report, encryption_report):
        lines, missed = section(bench, args)
        if lines:
            out += ([""] if out else []) + lines
        misses += missed

    out.append("")
    out.append("Runs (MiB/s of each round; user+sys CPU seconds of each round; 1-minute load "
               "average as each run ended):")
    width = max([26] + [len(key) for key in res])
    for key in sorted(res):
        r = res[key]
        out.append("  %-*s %s   cpu %s   load %s" % (
            width, key, " ".join("%7.1f" % (x["bytes"] / MIB / x["wall_s"]) for x in r),
            " ".join("%5.2f" % (x["user_s"] + x["sys_s"]) for x in r),
            " ".join("%4.1f" % x["load"] for x in r)))
    if bench.header_check and len(bench.header_check) == 2:
        lib, curl = bench.header_check
        out.append("")
        out.append("Chunk request headers, library: %s" % ", ".join(lib))
        out.append("Chunk request headers, curl:    %s (%s)" % (
            ", ".join(curl), "same" if lib == curl else "DIFFERENT"))
    print("\n".join(out))
    return not misses


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
    parser.add_argument("--only", default=DEFAULT_PARTS,
                        help="measurements to run, e.g. --only wan for one of them: "
                             "folder, blob-library, blob-curl, sdk (the folder and blob "
                             "service against curl and the SDK), wan (WAN-like link), sink "
                             "(discard sink), sink-https (the same over https against "
                             "curl), cap (bandwidth cap), md5 (MD5 on and off to the "
                             "sink), small (many small files), "
                             "folder-far (small folder files across a WAN-like link), "
                             "https (small files over https across a WAN-like link), "
                             "https-large (a large file over https across that link: "
                             "parallel blocks, MD5 on and off, the SDK), "
                             "large (a file past 50,000 blocks; also --large), "
                             "pagecache (the page cache an upload leaves, "
                             "bEnableZUCloudDRBackupKeepPageCache off and on), "
                             "encryption (DRBackupEncryptionKeyFile on and off: CPU to "
                             "the sink against openssl speed, throughput across a WAN-like "
                             "link with 10 parallel blocks)")
    parser.add_argument("--encryption-links", default="40:1000",
                        help="round trip ms:Mbit/s of each link of the encryption benchmark, "
                             "comma-separated")
    parser.add_argument("--pagecache-parallel", type=int, default=4,
                        help="DRBackupUploadParallelBlocks of the page cache benchmark")
    parser.add_argument("--large", action="store_true",
                        help="add the file past 50,000 blocks (sends --large-gib GiB "
                             "through loopback: minutes)")
    parser.add_argument("--wan-file", help="file of the WAN benchmark (default: the folder "
                                           "file)")
    parser.add_argument("--wan-links", default="40:1000,100:200",
                        help="round trip ms:Mbit/s of each link, comma-separated")
    parser.add_argument("--wan-window", type=int, default=8 * MIB,
                        help="bytes one connection may have on the way (its TCP window)")
    parser.add_argument("--sink-parallel", default="1,2,4",
                        help="DRBackupUploadParallelBlocks values to the discard sink")
    parser.add_argument("--cap-mbps", type=int, default=400)
    parser.add_argument("--cap-parallel", default="1,4",
                        help="DRBackupUploadParallelBlocks values under the cap")
    parser.add_argument("--small-count", type=int, default=300)
    parser.add_argument("--small-size", type=int, default=4096)
    parser.add_argument("--https-count", type=int, default=40,
                        help="small files sent over https (the first of the small files)")
    parser.add_argument("--https-links", default="40:1000,10:1000",
                        help="round trip ms:Mbit/s of each https link, comma-separated")
    parser.add_argument("--folder-count", type=int, default=20,
                        help="small files sent to the folder service across a WAN-like link "
                             "(the first of the small files)")
    parser.add_argument("--folder-links", default="40:1000",
                        help="round trip ms:Mbit/s of each link of those files, "
                             "comma-separated")
    parser.add_argument("--https-large-mib", type=int, default=128,
                        help="size of the random file sent over https with parallel blocks")
    parser.add_argument("--https-large-links", default="40:1000",
                        help="round trip ms:Mbit/s of each link of that file, comma-separated")
    parser.add_argument("--chart", help="also draw the round-trip chart (small files over "
                                        "https, large-file throughput) into this PNG")
    parser.add_argument("--large-gib", type=int, default=50,
                        help="size of the sparse file past 50,000 blocks")
    parser.add_argument("--large-block-mib", type=int, default=1,
                        help="DRBackupUploadBlobSize of that upload (the budget is "
                             "DRBackupUploadStreamCount x this + 32 MiB)")
    args = parser.parse_args()
    args.only = set(p for p in args.only.split(",") if p)
    if args.large:
        args.only.add("large")
    unknown = args.only - set(ALL_PARTS.split(","))
    if unknown:
        parser.error("--only: unknown measurement(s) %s" % ", ".join(sorted(unknown)))
    try:
        for name in ("wan_links", "https_links", "https_large_links", "folder_links",
                     "encryption_links"):
            setattr(args, name, [tuple(float(x) for x in link.split(":"))
                                 for link in getattr(args, name).split(",") if link])
        args.sink_parallel = [int(n) for n in args.sink_parallel.split(",") if n]
        args.cap_parallel = [int(n) for n in args.cap_parallel.split(",") if n]
    except ValueError:
        parser.error("--*-links take ms:Mbit pairs, --*-parallel whole numbers")
    if any(len(link) != 2 or link[1] <= 0
           for link in (args.wan_links + args.https_links + args.https_large_links
                        + args.folder_links + args.encryption_links)):
        parser.error("--*-links take ms:Mbit pairs with a bandwidth above 0")
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
    args.wan_file = args.wan_file or args.folder_file
    args.wan_size = os.path.getsize(args.wan_file)

    small_dir = os.path.join(args.work, "small")
    os.makedirs(small_dir, exist_ok=True)
    args.small_files = []
    for n in range(args.small_count):
        path = os.path.join(small_dir, "dr-%04d.bin" % n)
        with open(path, "wb") as f:
            f.write(os.urandom(args.small_size))
        args.small_files.append(path)
    args.https_files = args.small_files[:args.https_count]
    args.folder_small_files = args.small_files[:args.folder_count]
    args.https_large_file = os.path.join(args.work, "https-%dMiB.bin" % args.https_large_mib)
    if "https-large" in args.only:
        with open(args.https_large_file, "wb") as f:
            for _ in range(args.https_large_mib // 4):
                f.write(os.urandom(4 * MIB))
            f.write(os.urandom(args.https_large_mib % 4 * MIB))
    args.large_file = os.path.join(args.work, "large-%dGiB.sparse" % args.large_gib)
    if "large" in args.only:
        with open(args.large_file, "wb") as f:
            f.truncate(args.large_gib * GIB)

    bench = Bench(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        bench.run()
    finally:
        bench.stop()
    ok = report(bench, args)
    if args.chart:
        import wan_chart
        loads = [r["load"] for runs in bench.results.values() for r in runs]
        note = ("median of %d round(s); %s; load %.1f-%.1f" % (
            args.rounds, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
            min(loads or [0]), max(loads or [0])))
        if wan_chart.draw(bench.results, len(args.https_files), args.small_size,
                          args.wan_size // MIB, args.chart, note,
                          args.https_large_mib if "https-large" in args.only else None):
            log("chart written to %s" % args.chart)
        else:
            log("chart: no https or WAN-link results to draw")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
