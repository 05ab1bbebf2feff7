"""Many small files to Azurite: the library (one init, one UploadFile per
file) against the SDK (upload_blob per file)."""

import statistics

from . import uploaders
from .tables import load_range, round_ratio, table, verdict


def small_upload(bench, guid, who):
    emu = bench.fresh_emulator()
    token = emu.login()
    container, service_url, sas = uploaders.blob_target(bench, emu, "direct", token, guid)
    files = bench.args.small_files
    if who == "library":
        result = uploaders.library_blob(bench, emu, guid, files, list(bench.args.blob_setting),
                                        "small-library", folder="small")
    else:
        result = uploaders.sdk_run(bench, service_url, sas, files, None, 1, folder="small")
    return uploaders.with_file_count(emu, container, "small", files, result, "small files, " + who)


def small_report(bench, args):
    res = bench.results
    lib, sdk = res.get("small/library"), res.get("small/sdk")
    if not lib and not sdk:
        return [], []
    count = len(args.small_files)
    out = ["Many small files: %d files of %d bytes to Azurite (library: one process, one "
           "init, one UploadFile per file; SDK: upload_blob per file)" % (count,
                                                                         args.small_size)]
    rows = [("contender", "ms per file", "CPU ms per file", "target", "verdict", "load")]
    misses = []
    per_file = lambda r, f: 1000 * statistics.median(f(x) for x in r) / count
    wall = lambda x: x["wall_s"]
    cpu = lambda x: x["user_s"] + x["sys_s"]
    if lib:
        ok = per_file(lib, cpu) < 5
        rows.append(("library", "%.1f" % per_file(lib, wall), "%.1f" % per_file(lib, cpu),
                     "CPU < 5 ms", verdict(ok), load_range(lib)))
        if not ok:
            misses.append(rows[-1])
    if sdk:
        rows.append(("Python SDK", "%.1f" % per_file(sdk, wall), "%.1f" % per_file(sdk, cpu),
                     "-", "info", load_range(sdk)))
    if lib and sdk:
        ratio = round_ratio(lib, sdk)
        ok = ratio <= 2
        rows.append(("library time / SDK time (rounds)", "%.2f" % ratio, "", "<= 2.00",
                     verdict(ok), load_range(lib, sdk)))
        if not ok:
            misses.append(rows[-1])
    return out + table(rows), misses
