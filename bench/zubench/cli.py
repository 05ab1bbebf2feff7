"""The command line: the options, the test files the benchmarks need, the
run, the report and the chart."""

import argparse
import hashlib
import os
import signal
import subprocess
import sys
import time

import zubench

from .common import ALL_BENCHMARKS, BLOB_BLOCK, DEFAULT_BENCHMARKS, FOLDER_CHUNK, GIB, MIB, log
from .report import report
from .runner import Bench


def main():
    parser = argparse.ArgumentParser(description=zubench.__doc__.split("\n")[0])

    def links(flag, default, what):
        parser.add_argument(flag, default=default, help="round trip ms:Mbit/s of each %s, "
                                                        "comma-separated" % what)

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
    parser.add_argument("--only", default=DEFAULT_BENCHMARKS,
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
    links("--encryption-links", "40:1000", "link of the encryption benchmark")
    parser.add_argument("--pagecache-parallel", type=int, default=4,
                        help="DRBackupUploadParallelBlocks of the page cache benchmark")
    parser.add_argument("--large", action="store_true",
                        help="add the file past 50,000 blocks (sends --large-gib GiB "
                             "through loopback: minutes)")
    parser.add_argument("--wan-file", help="file of the WAN benchmark (default: the folder "
                                           "file)")
    links("--wan-links", "40:1000,100:200", "link")
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
    links("--https-links", "40:1000,10:1000", "https link")
    parser.add_argument("--folder-count", type=int, default=20,
                        help="small files sent to the folder service across a WAN-like link "
                             "(the first of the small files)")
    links("--folder-links", "40:1000", "link of those files")
    parser.add_argument("--https-large-mib", type=int, default=128,
                        help="size of the random file sent over https with parallel blocks")
    links("--https-large-links", "40:1000", "link of that file")
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
    unknown = args.only - set(ALL_BENCHMARKS.split(","))
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
