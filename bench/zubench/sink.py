"""Discard sink: nginx answering 201 to every Put Block, so that only the
uploader's own cost shows; the library at 1, 2, 4 parallel blocks against
curl. Its uploads serve the cap, md5, sink-https, encryption and large
benchmarks too."""

import os
import statistics
import time

from discard_sink import DiscardSink

from . import uploaders
from .common import BLOB_BLOCK, GIB, MIB
from .tables import cpu_per_gib, load_range, round_ratio, table, throughput, verdict


def sink_target(bench, guid, tls=False):
    """An emulator for the set-up whose reply names the sink (over https
    with tls); (container URL on the sink, SAS)."""
    if bench.sink is not None and bench.sink.tls != tls:
        bench.sink.stop()
        bench.sink = None
    if bench.sink is None:
        bench.sink = DiscardSink(bench.work, tls).start()
    emu = bench.fresh_emulator()
    token = emu.login()
    _, service_url, sas = uploaders.blob_target(bench, emu, "direct", token, guid,
                                                base=bench.sink.base)
    return emu, service_url, sas


def sink_check(bench, offset, size, who, block_size=None):
    """What the sink received since `offset`: every byte of the file in
    Put Blocks answered 201 (each block id once, all of block_size but
    the last when given) and one Put Block List. Returns (block count,
    largest block)."""
    entries = bench.sink.requests_since(offset)
    blocks = {}
    for e in entries:
        if e["method"] == "PUT" and e["comp"] == "block" and e["status"] == 201:
            blocks[e["blockid"]] = e["length"]
    lists = [e for e in entries if e["method"] == "PUT" and e["comp"] == "blocklist"
             and e["status"] == 201]
    lengths = list(blocks.values())
    if sum(lengths) != size or len(lists) != 1:
        raise RuntimeError("%s: the sink got %d bytes in %d blocks and %d block lists, "
                           "not %d bytes and one list" % (who, sum(lengths), len(lengths),
                                                          len(lists), size))
    if block_size and any(n != block_size for n in sorted(lengths)[1:]):
        raise RuntimeError("%s: blocks of %r bytes, not %d" % (
            who, sorted(set(lengths)), block_size))
    return len(lengths), max(lengths) if lengths else 0


def sink_library(bench, guid, who, settings, path=None, allow_refusal=False, tls=False,
                 stored=None):
    """One upload of `path` (the blob file) to the sink; `stored` the bytes
    the sink must receive when they are not the file's size (encryption)."""
    path = path or bench.args.blob_file
    emu, _, _ = sink_target(bench, guid, tls)
    offset = bench.sink.log_offset()
    result = uploaders.library_blob(bench, emu, guid, path,
                                    list(bench.args.blob_setting) + settings, "sink-" + who,
                                    allow_refusal=allow_refusal,
                                    extra_env=tls and {"ZUCLOUD_CA_FILE": bench.sink.ca_file})
    if result["ok"]:
        time.sleep(0.2)  # nginx writes the last log line as the request ends
        result["blocks"], result["block_size"] = sink_check(
       bench, offset, stored or os.path.getsize(path), who)
    return result


def sink_curl(bench, guid, tls=False):
    _, service_url, sas = sink_target(bench, guid, tls)
    offset = bench.sink.log_offset()
    result = uploaders.curl_blocks(bench, service_url + "/bench/curl.bin", sas,
                                   ca_file=bench.sink.ca_file)
    time.sleep(0.2)
    sink_check(bench, offset, bench.args.blob_size, "curl", BLOB_BLOCK)
    return result


def sink_report(bench, args):
    res = bench.results
    curl = res.get("sink/curl")
    libs = [(n, res["sink/library-p%d" % n]) for n in args.sink_parallel
            if "sink/library-p%d" % n in res]
    if not curl and not libs:
        return [], []
    out = ["Discard sink (nginx answering 201), %d MiB file, 16 MiB blocks; curl sends the "
           "same blocks one at a time over one connection" % (args.blob_size // MIB)]
    rows = [("contender", "MiB/s", "throughput / curl", "target", "verdict",
             "UploadFile CPU s/GiB", "process CPU s/GiB", "CPU / curl", "target", "verdict",
             "load")]
    misses = []
    curl_cpu = cpu_per_gib(curl) if curl else None
    for n, r in libs:
        ratio = round_ratio(curl, r) if curl else None
        tput_target = ">= 0.80" if n >= 2 else "-"
        tput_ok = None if (ratio is None or n < 2) else ratio >= 0.8
        cpu = cpu_per_gib(r)
        proc = statistics.median(x["proc_cpu_s"] / (x["bytes"] / GIB) for x in r)
        cpu_ratio = cpu / curl_cpu if curl_cpu else None
        cpu_ok = None if cpu_ratio is None else cpu_ratio <= 1.3
        rows.append(("library, ParallelBlocks %d" % n, "%.1f" % throughput(r),
                     "-" if ratio is None else "%.2f" % ratio, tput_target,
                     "info" if tput_ok is None else verdict(tput_ok), "%.2f" % cpu,
                     "%.2f" % proc, "-" if cpu_ratio is None else "%.2f" % cpu_ratio,
                     "<= 1.30", "-" if cpu_ok is None else verdict(cpu_ok),
                     load_range(r, curl or [])))
        if tput_ok is False or cpu_ok is False:
            misses.append(rows[-1])
    if curl:
        rows.append(("curl, one block at a time", "%.1f" % throughput(curl), "1.00", "-", "-",
                     "%.2f" % curl_cpu, "%.2f" % curl_cpu, "1.00", "-", "-",
                     load_range(curl)))
    return out + table(rows), misses
