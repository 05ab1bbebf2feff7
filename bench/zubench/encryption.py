"""Client-side encryption on against off: CPU per GiB to the discard sink
beside `openssl speed -evp aes-256-gcm`, and throughput across the WAN-like
link with 10 parallel blocks (those uploads are wan.wan_upload's)."""

import os
import statistics
import subprocess

from . import sink
from .common import GIB, MIB, stored_size
from .machine import cache_whole
from .tables import load_range, mbit, table, throughput, verdict


def encryption_sink(bench, guid, encrypted):
    """The blob file to the http discard sink, resident in the page cache
    whole first and kept there, MD5 off, with client-side encryption on
    or off; the sink must receive the stored length when on."""
    path = bench.args.blob_file
    cache_whole(path)
    settings = ["bEnableZUCloudDRBackupKeepPageCache = true",
                "bEnableZUCloudDRBackupContentMD5 = false"]
    if encrypted:
        settings.append("DRBackupEncryptionKeyFile = %s" % bench.key_file())
    return sink.sink_library(bench, guid, "enc-on" if encrypted else "enc-off", settings, path,
                             stored=stored_size(os.path.getsize(path)) if encrypted
                             else None)


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
