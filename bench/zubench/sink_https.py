"""The discard sink over https: CPU per GiB of the library against curl, both
reading a cached file and both reading from the disk."""

import statistics

from . import sink
from .common import GIB, MIB
from .machine import cache_whole, drop_cached
from .tables import cpu_per_gib, load_range, table, throughput, verdict


def sink_https(bench, guid, who):
    """One upload to the TLS sink (see SINK_HTTPS). The contenders read
    alike: "library" and "curl" a file resident in the page cache whole
    (the library with bEnableZUCloudDRBackupKeepPageCache true, so that
    its reads leave the file there, as curl's do), "-cold" ones a file
    whose pages were dropped first (the library with its default of
    dropping what it read)."""
    cold = who.endswith("-cold")
    curl = who.startswith("curl")
    for path in bench.args.blob_blocks if curl else [bench.args.blob_file]:
        if cold:
            drop_cached(path)
        else:
            cache_whole(path)
    if curl:
        return sink.sink_curl(bench, guid, tls=True)
    settings = [] if cold else ["bEnableZUCloudDRBackupKeepPageCache = true"]
    return sink.sink_library(bench, guid, "https" + ("-cold" if cold else ""), settings, tls=True)


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
