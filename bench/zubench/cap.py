"""Bandwidth cap: DRBackupUploadMaxMbps to the discard sink (the uploads are
sink.sink_library's), each round's rate against the cap."""

from .common import MIB
from .tables import load_range, mbit, table, verdict


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
