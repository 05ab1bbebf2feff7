#!/usr/bin/python3
"""upload_blob of local files with the Azure Storage SDK for Python
(Debian's python3-azure-storage), the baseline of the blob benchmarks.

One file goes to the blob named by --blob; with --folder each file named
goes, in order, to FOLDER/its base name (the many-small-files benchmark),
one upload_blob after the other through one container client.

Prints one line "RESULT {json}" with the wall time and the process's CPU
time around the upload_blob calls (summed over the files) and the process's
peak RSS. Block size and
concurrency as given; without --block-size the SDK's defaults apply (4 MiB
blocks, a single Put Blob up to 64 MiB).
"""

import argparse
import json
import os
import resource
import time

from azure.storage.blob import ContainerClient


def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--container-url", required=True)
    parser.add_argument("--sas", required=True)
    parser.add_argument("--blob", help="blob name of the one file")
    parser.add_argument("--folder", help="virtual folder of several files")
    parser.add_argument("--file", required=True, nargs="+")
    parser.add_argument("--block-size", type=int)
    parser.add_argument("--concurrency", type=int, default=1)
    parser.add_argument("--ca-file", help="CA bundle that signs an https endpoint")
    args = parser.parse_args()

    if (args.folder is None) == (args.blob is None) or (args.blob and len(args.file) != 1):
        parser.error("give --blob with one file, or --folder with any number")

    options = {}
    if args.block_size:
        options = {"max_block_size": args.block_size, "max_single_put_size": args.block_size}
    if args.ca_file:
        options["connection_verify"] = args.ca_file
    container = ContainerClient.from_container_url("%s?%s" % (args.container_url, args.sas),
                                                   **options)
    names = [args.blob] if args.blob else [
        "%s/%s" % (args.folder, os.path.basename(path)) for path in args.file]
    size = 0
    user0, sys0 = cpu()
    start = time.perf_counter()
    for path, name in zip(args.file, names):
        length = os.path.getsize(path)
        with open(path, "rb") as data:
            container.get_blob_client(name).upload_blob(
                data, length=length, overwrite=True, max_concurrency=args.concurrency)
        size += length
    wall = time.perf_counter() - start
    user1, sys1 = cpu()
    print("RESULT " + json.dumps({
        "ok": True, "bytes": size, "wall_s": wall, "user_s": user1 - user0,
        "sys_s": sys1 - sys0,
        "maxrss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}), flush=True)


if __name__ == "__main__":
    main()
