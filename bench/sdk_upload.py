#!/usr/bin/python3
"""One upload_blob of a local file with the Azure Storage SDK for Python
(Debian's python3-azure-storage), the baseline of the blob benchmark.

Prints one line "RESULT {json}" with the wall time and the process's CPU
time around upload_blob and the process's peak RSS. Block size and
concurrency as given; without --block-size the SDK's defaults apply (4 MiB
blocks, a single Put Blob up to 64 MiB).
"""

import argparse
import json
import os
import resource
import time

from azure.storage.blob import BlobClient


def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--container-url", required=True)
    parser.add_argument("--sas", required=True)
    parser.add_argument("--blob", required=True)
    parser.add_argument("--file", required=True)
    parser.add_argument("--block-size", type=int)
    parser.add_argument("--concurrency", type=int, default=1)
    args = parser.parse_args()

    options = {}
    if args.block_size:
        options = {"max_block_size": args.block_size, "max_single_put_size": args.block_size}
    client = BlobClient.from_blob_url("%s/%s?%s" % (args.container_url, args.blob, args.sas),
                                      **options)
    size = os.path.getsize(args.file)
    with open(args.file, "rb") as data:
        user0, sys0 = cpu()
        start = time.perf_counter()
        client.upload_blob(data, length=size, overwrite=True, max_concurrency=args.concurrency)
        wall = time.perf_counter() - start
        user1, sys1 = cpu()
    print("RESULT " + json.dumps({
        "ok": True, "bytes": size, "wall_s": wall, "user_s": user1 - user0,
        "sys_s": sys1 - sys0,
        "maxrss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}), flush=True)


if __name__ == "__main__":
    main()
