"""The page cache an upload leaves: the blob and the folder file, resident
whole first, with bEnableZUCloudDRBackupKeepPageCache off and on."""

import os

from . import folder, uploaders
from .common import BLOB_BLOCK, FOLDER_CHUNK, MIB, MTIME, log
from .machine import cache_whole, resident_bytes
from .tables import load_range, table, throughput, verdict


def pagecache_upload(bench, guid, service, keep):
    """Uploads the blob (or folder) file, resident whole beforehand, with
    bEnableZUCloudDRBackupKeepPageCache off or on; returns the RESULT
    with the file's resident bytes before and after UploadFile."""
    word = "keep" if keep else "drop"
    settings = ["bEnableZUCloudDRBackupKeepPageCache = %s" % ("true" if keep else "false")]
    emu = bench.fresh_emulator()
    if service == "blob":
        path = bench.args.blob_file
        settings.append("DRBackupUploadParallelBlocks = %d" % bench.args.pagecache_parallel)
        container, _, _ = uploaders.blob_target(bench, emu, "proxy", emu.login(), guid)
        before = cache_whole(path)
        result = uploaders.library_blob(bench, emu, guid, path, settings, "pagecache-blob-" + word)
        after = resident_bytes(path)
        uploaders.check_blob(bench, emu, container, "bench/" + os.path.basename(path), "pagecache")
    else:
        path = bench.args.folder_file
        env = bench.library_env("folder.conf", "[GlobalParam]\nCloud URL = %s\n%s\n" % (
             emu.web, "\n".join(settings)), {"BENCH_GUID": guid, "BENCH_MTIME": MTIME})
        before = cache_whole(path)
        result = bench.run_library(bench.args.folder_program, path, env,
                                   "pagecache-folder-" + word)
        after = resident_bytes(path)
        folder.check_folder_file(bench, emu, "pagecache")
    result["cached_before"], result["cached_after"] = before, after
    log("%s, page cache %s: %.1f MiB of the file resident before, %.1f MiB after" % (
        service, word, before / MIB, after / MIB))
    return result


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
