"""The runner: the state of one run (the emulator, the sink, the results,
the key file), the library's programs run with their settings, and the
rounds of each benchmark, interleaved, each result recorded with the
machine's load."""

import json
import os
import tempfile

from . import (blob, encryption, folder, folder_far, https, large, md5, pagecache, sink,
               sink_https, small, wan)
from .common import HTTPS_LARGE, MIB, PASSWORD, SINK_HTTPS, USER, log, rotated
from .machine import loadavg, run_measured
from .servers import Emulator


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
                    self.record("folder-%g-%g/library" % link,
                                folder_far.folder_far(self, guid, link))
        if want("wan"):
            log("WAN-like link: %d MiB file, links %s, %d rounds" % (
                self.args.wan_size // MIB, ", ".join("%g ms / %g Mbit/s" % l
                                                     for l in self.args.wan_links), rounds))
            for i in range(rounds):
                self.record("wan-relay/sdk-c16", wan.wan_upload(self, guid, (0, 0), "sdk-c16"))
                self.record("wan-azurite/sdk-c16", wan.wan_upload(self, guid, None, "sdk-c16"))
                for link in self.args.wan_links:
                    for who in rotated(("library", "library-p10", "sdk-c1", "sdk-c10"), i):
                        self.record("wan-%g-%g/%s" % (link + (who,)),
                                    wan.wan_upload(self, guid, link, who))
        if want("sink"):
            log("discard sink: %d MiB file, parallel blocks %s, %d rounds" % (
                self.args.blob_size // MIB, self.args.sink_parallel, rounds))
            for i in range(rounds):
                for n in rotated(self.args.sink_parallel + [0], i):
                    if n == 0:
                        self.record("sink/curl", sink.sink_curl(self, guid))
                    else:
                        self.record("sink/library-p%d" % n, sink.sink_library(
                            self, guid, "p%d" % n, ["DRBackupUploadParallelBlocks = %d" % n]))
        if want("sink-https"):
            log("discard sink over https: %d MiB file, %d rounds" % (
                self.args.blob_size // MIB, rounds))
            for i in range(rounds):
                for who in rotated(SINK_HTTPS, i):
                    self.record("sink-https/" + who, sink_https.sink_https(self, guid, who))
        if want("cap"):
            log("cap %d Mbit/s to the sink: %d MiB file, parallel blocks %s, %d rounds" % (
                self.args.cap_mbps, self.args.blob_size // MIB, self.args.cap_parallel, rounds))
            for i in range(rounds):
                for n in rotated(self.args.cap_parallel, i):
                    self.record("cap/library-p%d" % n, sink.sink_library(
                        self, guid, "cap-p%d" % n,
                        ["DRBackupUploadMaxMbps = %d" % self.args.cap_mbps,
                         "DRBackupUploadParallelBlocks = %d" % n]))
        if want("small"):
            log("small files: %d of %d bytes, %d rounds" % (
                len(self.args.small_files), self.args.small_size, rounds))
            for _ in range(rounds):
                self.record("small/library", small.small_upload(self, guid, "library"))
                self.record("small/sdk", small.small_upload(self, guid, "sdk"))
        if want("md5"):
            log("MD5 on and off to the discard sink: %d MiB file, %d rounds" % (
                self.args.blob_size // MIB, rounds))
            for i in range(rounds):
                for on in rotated((False, True), i):
                    word = "on" if on else "off"
                    self.record("md5/" + word, sink.sink_library(
                        self, guid, "md5-" + word,
                        ["bEnableZUCloudDRBackupContentMD5 = %s" % ("true" if on else "false")]))
            self.md5_speed = md5.openssl_md5_speed()
        if want("encryption"):
            log("encryption on and off: %d MiB file to the discard sink, %d MiB file through "
                "links %s with 10 parallel blocks, %d rounds" % (
                    self.args.blob_size // MIB, self.args.wan_size // MIB,
                    ", ".join("%g ms / %g Mbit/s" % l for l in self.args.encryption_links),
                    rounds))
            for i in range(rounds):
                for on in rotated((False, True), i):
                    self.record("enc-sink/" + ("on" if on else "off"),
                                encryption.encryption_sink(self, guid, on))
                for link in self.args.encryption_links:
                    for who in rotated(("library-p10", "library-p10-enc"), i):
                        self.record("enc-wan-%g-%g/%s" % (link + (who,)),
                                    wan.wan_upload(self, guid, link, who))
            self.aes_speed = encryption.openssl_aes_gcm_speed()
        if want("https"):
            log("small files over https: %d of %d bytes, links %s, %d rounds" % (
                len(self.args.https_files), self.args.small_size,
                ", ".join("%g ms / %g Mbit/s" % l for l in self.args.https_links), rounds))
            for i in range(rounds):
                for link in self.args.https_links:
                    for who in rotated(("library", "library-single", "sdk"), i):
                        self.record("https-%g-%g/%s" % (link + (who,)),
                                    https.https_small(self, guid, link, who))
        if want("https-large"):
            log("large file over https: %d MiB, links %s, %d rounds" % (
                self.args.https_large_mib, ", ".join("%g ms / %g Mbit/s" % l
                                                     for l in self.args.https_large_links),
                rounds))
            for i in range(rounds):
                for link in self.args.https_large_links:
                    for who in rotated(HTTPS_LARGE, i):
                        self.record("large-https-%g-%g/%s" % (link + (who,)), wan.wan_upload(
                           self, guid, link, who, tls=True, path=self.args.https_large_file))
        if want("pagecache"):
            log("page cache after the upload: %d MiB blob file at %d parallel blocks, %d MiB "
                "folder file, keep off and on, %d rounds" % (
                    self.args.blob_size // MIB, self.args.pagecache_parallel,
                    self.args.folder_size // MIB, rounds))
            for i in range(rounds):
                for service in ("blob", "folder"):
                    for keep in rotated((False, True), i):
                        self.record("pagecache-%s/%s" % (service, "keep" if keep else "drop"),
                                    pagecache.pagecache_upload(self, guid, service, keep))
        if want("large"):
            self.large_result = large.large_upload(self, guid)
        self.stop()

    def run_folder_and_blob(self, guid):
        rounds = self.args.rounds
        want = lambda part: part in self.args.only
        if want("folder"):
            log("folder service: %d MiB file, %d rounds" % (self.args.folder_size // MIB,
                                                              rounds))
            emu = self.fresh_emulator()
            for _ in range(rounds):
                self.record("folder/library", folder.folder_library(self, emu, guid))
                self.record("folder/curl", folder.folder_curl(self, emu, guid))
                self.record("folder/curl-data-binary",
                            folder.folder_curl(self, emu, guid, "data-binary"))
                self.record("folder/curl-close", folder.folder_curl(self, emu, guid, "close"))
        if not (self.args.only & {"blob-library", "blob-curl", "sdk"}):
            return
        log("blob service: %d MiB file, %d rounds, paths %s" % (
            self.args.blob_size // MIB, rounds, ",".join(self.args.paths)))
        for _ in range(rounds):
            for path_kind in self.args.paths:
                if want("blob-library"):
                    self.record("blob-%s/library" % path_kind,
                                blob.blob_library(self, path_kind, guid))
                if want("blob-curl"):
                    self.record("blob-%s/curl" % path_kind, blob.blob_curl(self, path_kind, guid))
                if want("blob-curl") and path_kind == "direct":
                    self.record("blob-%s/curl-memory" % path_kind,
                                blob.blob_curl(self, path_kind, guid, "memory"))
                for label, block, conc in (blob.sdk_variants(self, path_kind)
                                           if want("sdk") else []):
                    self.record("blob-%s/%s" % (path_kind, label),
                                blob.blob_sdk(self, path_kind, guid, block, conc))
