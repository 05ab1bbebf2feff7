"""A large file over https across a WAN-like link (the uploads are
wan.wan_upload's): 10 parallel blocks with MD5 off and on, the SDK at
max_concurrency 10."""

from .common import HTTPS_LARGE
from .tables import load_range, mbit, round_ratio, table, verdict


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
