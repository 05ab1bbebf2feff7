"""Folder service: the library's UploadFile of the folder file against curl
POSTing the same 4 MiB chunks with the same headers."""

import base64
import os
import time
import xml.etree.ElementTree as ET

from .common import CURL_COMMON, MTIME
from .machine import run_measured


def folder_library(bench, emu, guid):
    env = bench.library_env("folder.conf", "[GlobalParam]\nCloud URL = %s\n" % emu.web,
                            {"BENCH_GUID": guid, "BENCH_MTIME": MTIME})
    emu.control("POST", "/_emu/reset")
    result = bench.run_library(bench.args.folder_program, bench.args.folder_file, env,
                               "folder-library")
    check_folder_file(bench, emu, "library")
    if bench.header_check is None:
        bench.header_check = [chunk_header_names(emu)]
    return result


def folder_curl(bench, emu, guid, mode="stream"):
    """curl POSTs the chunks: "stream" sends each chunk file as the body
    (-T with POST; the baseline of the target), "data-binary" loads each
    into memory first (--data-binary @file), "close" streams like
    "stream" but asks for a new connection per chunk ("Connection:
    close"), as the library opens one per chunk."""
    token = emu.login()
    setup = emu.folder_setup(token, guid)
    path = bench.args.folder_file
    size = os.path.getsize(path)
    chunks = bench.args.folder_chunks
    if len(chunks) < 2:
        # The session opens with the first chunk and ends with FileEOF on
        # a later one: a file of one chunk gives curl nothing to send next.
        raise RuntimeError("the curl baseline needs a file of more than one chunk "
                           "(%d bytes is one)" % size)
    base = "%s/api/drive/share/%s/file/action/upload?uploadType=chunkedFile" % (
        setup["uploadURL"], setup["shareID"])
    name64 = base64.b64encode(os.path.basename(path).encode()).decode()
    parent64 = base64.b64encode(setup["folderPath"].encode()).decode()
    headers = ["-H", "Accept: application/xml", "-H", "Authtoken: " + token,
               "-H", "FileName: " + name64, "-H", "FileSize: %d" % size,
               "-H", "FileModifiedtime: " + MTIME, "-H", "ParentFolderPath: " + parent64,
               "-H", "Content-Type: application/octet-stream"]
    emu.control("POST", "/_emu/reset")
    reply = os.path.join(bench.work, "curl-session.xml")
    start = time.perf_counter()
    first = (["--data-binary", "@" + chunks[0]] if mode == "data-binary"
             else ["-X", "POST", "-T", chunks[0]])
    code, _, u1, s1, _ = run_measured(
        ["curl"] + CURL_COMMON + ["-f"] + headers + first + [base + "&forceRestart=true"],
        reply)
    if code != 0:
        raise RuntimeError("curl could not open the upload session (exit %d)" % code)
    with open(reply, "rb") as f:
        request_id = ET.fromstring(f.read()).findtext(".//requestId")
    url = base + "&requestId=" + request_id
    argv = ["curl"]
    for i, chunk in enumerate(chunks[1:], start=2):
        if i > 2:
            argv.append("--next")
        eof = ["-H", "FileEOF: 1"] if i == len(chunks) else []
        body = (["--data-binary", "@" + chunk] if mode == "data-binary"
                else ["-X", "POST", "-T", chunk])
        close = ["-H", "Connection: close"] if mode == "close" else []
        argv += CURL_COMMON + headers + eof + close + [
            "-o", "/dev/null", "-w", "%{http_code}\\n"] + body + [url]
    statuses = os.path.join(bench.work, "curl-chunks.txt")
    code, _, u2, s2, _ = run_measured(argv, statuses)
    wall = time.perf_counter() - start
    with open(statuses) as f:
        codes = f.read().split()
    if code != 0 or len(codes) != len(chunks) - 1 or any(c != "200" for c in codes):
        raise RuntimeError("curl chunk upload failed: exit %d, statuses %s" % (code, codes))
    check_folder_file(bench, emu, "curl")
    if mode == "stream" and bench.header_check and len(bench.header_check) == 1:
        bench.header_check.append(chunk_header_names(emu))
    return {"ok": True, "bytes": size, "wall_s": wall, "user_s": u1 + u2,
            "sys_s": s1 + s2, "maxrss_kib": 0}


def check_folder_file(bench, emu, who):
    files = emu.control("GET", "/_emu/files")
    if not files or files[-1]["size"] != bench.args.folder_size or \
            files[-1]["sha256"] != bench.args.folder_sha256:
        raise RuntimeError("%s: the emulator does not hold the folder file intact" % who)


def chunk_header_names(emu):
    """Header names, in order, of the last chunk request that carried a
    body, for the same-headers check between the library and curl."""
    entries = [e for e in emu.control("GET", "/_emu/journal?kind=upload_chunk")
               if e["body_len"] > 0]
    return [name for name, _ in entries[-2]["headers"]] if len(entries) > 1 else []
