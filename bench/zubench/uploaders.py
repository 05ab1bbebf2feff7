"""The ways every blob benchmark sends and checks: the set-up on the proxy or
the direct path, the library's blob_upload_bench, curl's Put Blocks, the
Python SDK, and the checks of what storage holds."""

import base64
import json
import os
import urllib.parse
from xml.sax.saxutils import escape

from zuemu import azstore

from .common import BENCH_DIR, CURL_COMMON, untagged
from .machine import run_measured


def blob_target(bench, emu, path_kind, token, guid, base=None):
    """(container, container URL, SAS) on the chosen path; for the direct
    path the set-up reply is overridden so that the library gets the
    same. `base` replaces Azurite's account URL on the direct path (the
    WAN-like link, the discard sink)."""
    service_url, sas = emu.blob_setup(token, guid)
    container = service_url.rstrip("/").rsplit("/", 1)[1]
    if path_kind == "direct":
        service_url = "%s/%s" % (base or emu.azurite_base, container)
        emu.control("POST", "/_emu/config", {"blob_setup_reply": (
            "<SetupResult><AzureSASServiceURL>%s</AzureSASServiceURL>"
            "<AzureSASToken>%s</AzureSASToken></SetupResult>"
            % (escape(service_url), escape(sas)))})
    return container, service_url, sas


def check_blob(bench, emu, container, name, who, blocks=None, expected=None):
    expected = bench.args.blob_size if expected is None else expected
    store = azstore.BlobStore(emu.azurite_base)
    size = store.blob_size(container, name)
    if size != expected:
        raise RuntimeError("%s: blob %s/%s holds %r bytes, not %d" % (
            who, container, name, size, expected))
    if blocks is not None:
        got = untagged([bid for bid, _ in store.committed_block_list(container, name)])
        if got != blocks:
            raise RuntimeError("%s: unexpected committed block list" % who)


def library_blob(bench, emu, guid, files, settings, label, folder="bench",
                 allow_refusal=False, extra_env=None):
    """blob_upload_bench uploads the file(s) to FOLDER with the given
    settings-file lines; returns its RESULT."""
    settings = "".join(line + "\n" for line in settings)
    env = bench.library_env("blob.conf",
                            "[GlobalParam]\nCloud URL = %s\n%s" % (emu.web, settings),
                            dict({"BENCH_GUID": guid, "BENCH_FOLDER": folder},
                                 **(extra_env or {})))
    return bench.run_library(bench.args.blob_program, files, env, label, allow_refusal)


def block_ids(bench, count=None):
    count = len(bench.args.blob_blocks) if count is None else count
    return [base64.b64encode(b"%06d" % n).decode() for n in range(1, count + 1)]


def curl_blocks(bench, blob_url, sas, mode="stream", ca_file=None):
    """One curl process sends the blocks of the blob file one at a time
    over one connection, then the block list; see blob_curl. ca_file:
    the CA of an https endpoint."""
    common = CURL_COMMON + (["--cacert", ca_file] if ca_file else [])
    ids = block_ids(bench)
    block_list = os.path.join(bench.work, "blocklist.xml")
    with open(block_list, "w") as f:
        f.write('<?xml version="1.0" encoding="utf-8"?> <BlockList>' + "".join(
            "<Uncommitted>%s</Uncommitted>" % i for i in ids) + "</BlockList>")
    argv = ["curl"]
    for block_id, block in zip(ids, bench.args.blob_blocks):
        body = (["-X", "PUT", "-H", "Content-Type:", "--data-binary", "@" + block]
                if mode == "memory" else ["-T", block])
        argv += common + ["-o", "/dev/null", "-w", "%{http_code}\\n"] + body + [
            "%s?comp=block&blockid=%s&%s" % (
                blob_url, urllib.parse.quote(block_id, safe=""), sas), "--next"]
    argv += common + ["-o", "/dev/null", "-w", "%{http_code}\\n", "-T", block_list,
                      "%s?comp=blocklist&%s" % (blob_url, sas)]
    statuses = os.path.join(bench.work, "curl-blocks.txt")
    code, wall, user, system, _ = run_measured(argv, statuses)
    with open(statuses) as f:
        codes = f.read().split()
    if code != 0 or len(codes) != len(ids) + 1 or any(c != "201" for c in codes):
        raise RuntimeError("curl block upload failed: exit %d, statuses %s" % (code, codes))
    return {"ok": True, "bytes": bench.args.blob_size, "wall_s": wall, "user_s": user,
            "sys_s": system, "maxrss_kib": 0}


def sdk_run_argv(service_url, sas, files, block, concurrency, folder=None, ca_file=None):
    argv = ["/usr/bin/python3", os.path.join(BENCH_DIR, "sdk_upload.py"),
            "--container-url", service_url, "--sas", sas,
            "--concurrency", str(concurrency)]
    if ca_file:
        argv += ["--ca-file", ca_file]
    argv += ["--folder", folder] if folder else ["--blob", "bench/sdk.bin"]
    if block:
        argv += ["--block-size", str(block)]
    return argv + ["--file"] + list(files)


def sdk_run(bench, service_url, sas, files, block, concurrency, folder=None, ca_file=None):
    """The SDK uploads the files (to bench/sdk.bin, or each to FOLDER/its
    name); returns its RESULT."""
    argv = sdk_run_argv(service_url, sas, files, block, concurrency, folder, ca_file)
    out = os.path.join(bench.work, "sdk.out")
    code, _, _, _, _ = run_measured(argv, out, None, os.path.join(bench.work, "sdk.err"))
    result = None
    with open(out) as f:
        for line in f:
            if line.startswith("RESULT "):
                result = json.loads(line[7:])
    if code != 0 or result is None:
        raise RuntimeError("the SDK upload failed (exit %d); see %s/sdk.err" % (
            code, bench.work))
    return result


def with_file_count(emu, container, folder, files, result, what):
    """`result` with the number of `files` added, once `container` holds
    as many blobs below "`folder`/"; RuntimeError names `what` otherwise."""
    names = [n for n in azstore.BlobStore(emu.azurite_base).list_blobs(container)
             if n.startswith(folder + "/")]
    if len(names) != len(files):
        raise RuntimeError("%s: %d blobs stored, not %d" % (what, len(names), len(files)))
    result["files"] = len(files)
    return result
