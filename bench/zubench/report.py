"""The report: the table of the folder and blob services against their
baselines (throughput, peak RSS, CPU per GiB), each other benchmark's
section in turn, the runs of every round with the load, and the chunk
request header check."""

import statistics

from . import (cap, encryption, folder_far, https, https_large, large, md5, pagecache, sink,
               sink_https, small, wan)
from .common import BLOB_BLOCK, BLOB_STREAMS, MIB
from .tables import cpu_per_gib, median, table, throughput


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
    for section in (folder_far.folder_far_report, wan.wan_report, sink.sink_report,
                    sink_https.sink_https_report, cap.cap_report, md5.md5_report,
                    small.small_report, https.https_report, https_large.https_large_report,
                    large.large_report, pagecache.pagecache_report,
                    encryption.encryption_report):
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
