"""A sparse file past 50,000 blocks to the discard sink: peak RSS against the
budget and the block size the library chose."""

import os

from . import sink
from .common import BLOB_STREAMS, GIB, MIB, log
from .machine import loadavg
from .tables import verdict


def large_upload(bench, guid):
    path = bench.args.large_file
    size = os.path.getsize(path)
    block = bench.args.large_block_mib
    log("large file: %d GiB sparse at DRBackupUploadBlobSize %d MiB (%d blocks at that "
        "size); at 0.5 to 1 GiB/s that is %d to %d minutes" % (
            size // GIB, block, -(-size // (block * MIB)), size // GIB / 60 + 1,
            size // GIB / 30 + 1))
    log_file = os.path.join(bench.logdir, "ZUCloudService.log")
    log_offset = os.path.getsize(log_file) if os.path.exists(log_file) else 0
    result = sink.sink_library(bench, guid, "large", ["DRBackupUploadBlobSize = %d" % block],
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
