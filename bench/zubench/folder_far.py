"""The folder service across a WAN-like link: small files, one UploadFile
each, the web console and the upload server each behind a link; the
requests per file against the time per file."""

import os
import statistics

from zuemu import messages

from .common import MTIME
from .servers import WanLink
from .tables import load_range, median, table, verdict


def folder_far(bench, guid, link):
    """The small folder files, one UploadFile each after one init, with
    the web console and the upload server each behind a fresh WAN-like
    link (round trip ms, Mbit/s): the console's address is the "Cloud
    URL", the upload server's the uploadURL of the set-up reply (the
    emulator's "folder_setup_reply" knob). Adds the requests per file:
    what the emulator received from the start of the first UploadFile."""
    emu = bench.fresh_emulator()
    files = bench.args.folder_small_files
    links = [WanLink(bench.work, emu.ports[port], link[0], link[1], bench.args.wan_window,
                     "wan-" + port) for port in ("console", "upload")]
    try:
        console, upload = (wan.start() for wan in links)
        prefix = emu.ports["prefix"]
        emu.control("POST", "/_emu/config", {"folder_setup_reply": (
            messages.XML_DECLARATION + "<Workflow_Output>" + "".join(
                "<%s>{%s}</%s>" % (k, k, k) for k in ("shareID", "folderPath",
                                                      "folderGUID"))
            + "<uploadURL>http://127.0.0.1:%d%s</uploadURL></Workflow_Output>" % (
                upload.port, prefix))})
        env = bench.library_env(
             "folder.conf", "[GlobalParam]\nCloud URL = http://127.0.0.1:%d%s\n%s" % (
                 console.port, prefix, "".join(line + "\n" for line in
                                               bench.args.blob_setting)),
             {"BENCH_GUID": guid, "BENCH_MTIME": MTIME})
        result = bench.run_library(bench.args.folder_program, files, env, "folder-far")
    finally:
        for wan in links:
            wan.stop()
    stored = {f["name"]: f["size"] for f in emu.control("GET", "/_emu/files")}
    if any(stored.get(os.path.basename(f)) != os.path.getsize(f) for f in files):
        raise RuntimeError("folder files across the link: the emulator holds %d of %d" % (
            len(stored), len(files)))
    requests = [e for e in emu.control("GET", "/_emu/journal")
                if e["time"] >= result["start_unix_s"]]
    result["files"] = len(files)
    result["requests"] = len(requests)
    result["request_kinds"] = {}
    for e in requests:
        result["request_kinds"][e["kind"]] = result["request_kinds"].get(e["kind"], 0) + 1
    return result


def folder_far_report(bench, args):
    res = bench.results
    rows, misses = [], []
    for link in args.folder_links:
        r = res.get("folder-%g-%g/library" % link)
        if not r:
            continue
        count = r[0]["files"]
        per_file = 1000 * median(r, "wall_s") / count
        requests = median(r, "requests") / count
        # What the requests cost at one round trip each, against the time
        # they took: 1.00 when nothing but the round trips counts.
        share = statistics.median(x["requests"] * link[0] / 1000 / x["wall_s"] for x in r)
        ok = share >= 0.85
        kinds = ", ".join("%s %.2f" % (k, n / count)
                          for k, n in sorted(r[0]["request_kinds"].items()))
        rows.append(("%g ms / %g Mbit/s" % link, "%.1f" % per_file,
                     "%.2f (%s)" % (requests, kinds),
                     "%.1f" % (requests * link[0]), "%.2f" % share, ">= 0.85", verdict(ok),
                     load_range(r)))
        if not ok:
            misses.append(rows[-1])
    if not rows:
        return [], []
    return ["Folder service across a WAN-like link: %d files of %d bytes, one init, one "
            "UploadFile per file, the web console and the upload server each behind a link; "
            "requests per file: what the emulator received from the first UploadFile on; "
            "share: requests x round trip / time (median of the rounds)" % (
                len(args.folder_small_files), args.small_size)] + table(
        [("link", "ms per file", "requests per file", "requests x round trip ms", "share",
          "target", "verdict", "load")] + rows), misses
