"""MD5 on against off to the discard sink (the uploads are sink.sink_library's),
beside `openssl speed -evp md5`."""

import statistics
import subprocess

from .common import GIB, MIB
from .tables import cpu_per_gib, load_range, table, throughput, verdict


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
