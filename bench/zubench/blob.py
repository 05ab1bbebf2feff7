"""Blob service: the library's UploadFile of the blob file with its defaults,
on the proxy and the direct path, against curl one block at a time and the
Python SDK."""

import os

from . import uploaders
from .common import BLOB_BLOCK, BLOB_STREAMS
from .machine import cache_whole


def blob_library(bench, path_kind, guid):
    """The library with its defaults. Every contender of these benchmarks
    starts from input resident in the page cache (cache_whole): the
    library drops the pages it read by default, which would leave the
    next round, its own or the SDK's, reading from the disk."""
    cache_whole(bench.args.blob_file)
    emu = bench.fresh_emulator()
    token = emu.login()
    container, _, _ = uploaders.blob_target(bench, emu, path_kind, token, guid)
    result = uploaders.library_blob(bench, emu, guid, bench.args.blob_file,
                                    bench.args.blob_setting, "blob-library-" + path_kind)
    uploaders.check_blob(bench, emu, container, "bench/" + os.path.basename(bench.args.blob_file),
                         "library", uploaders.block_ids(bench))
    return result


def blob_curl(bench, path_kind, guid, mode="stream"):
    """curl sends the blocks one at a time over one connection: "stream"
    uploads each block file as the body (-T; the baseline of the
    target), "memory" loads each block into memory before sending it
    (--data-binary @file), as the library reads a whole block first."""
    for block in bench.args.blob_blocks:
        cache_whole(block)
    emu = bench.fresh_emulator()
    token = emu.login()
    container, service_url, sas = uploaders.blob_target(bench, emu, path_kind, token, guid)
    result = uploaders.curl_blocks(bench, service_url + "/bench/curl.bin", sas, mode)
    ids = uploaders.block_ids(bench)
    uploaders.check_blob(bench, emu, container, "bench/curl.bin", "curl", ids)
    return result


def blob_sdk(bench, path_kind, guid, block, concurrency):
    cache_whole(bench.args.blob_file)
    emu = bench.fresh_emulator()
    token = emu.login()
    container, service_url, sas = uploaders.blob_target(bench, emu, path_kind, token, guid)
    result = uploaders.sdk_run(bench, service_url, sas, [bench.args.blob_file], block, concurrency)
    uploaders.check_blob(bench, emu, container, "bench/sdk.bin", "sdk")
    return result


def sdk_variants(bench, path_kind):
    variants = [("sdk-defaults", None, 1), ("sdk-16MiB-c1", BLOB_BLOCK, 1)]
    if bench.args.sdk_parallel and path_kind == "direct":
        variants.append(("sdk-16MiB-c%d" % BLOB_STREAMS, BLOB_BLOCK, BLOB_STREAMS))
    return variants
