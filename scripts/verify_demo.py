#!/usr/bin/env python3
"""Compares what the cloud emulator stored with the local files of a demo run.

folder: every local file must be stored under the given parent path with the
        same size and SHA-256.
blob:   the last completion of the given mode must list every local file,
        and each listed blob must exist in Azurite with the local size and
        SHA-256.
Prints one verdict line and exits 0 only when everything matches.
"""
import argparse
import hashlib
import json
import os
import sys
import urllib.parse
import urllib.request


def get(control, path):
    with urllib.request.urlopen(control + path, timeout=30) as reply:
        return json.loads(reply.read().decode("utf-8"))


def local_files(directory):
    files = {}
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                data = f.read()
            files[name] = (len(data), hashlib.sha256(data).hexdigest())
    return files


def verify_folder(control, directory, parent):
    stored = {}
    for record in get(control, "/_emu/files"):
        if record.get("parentPath") == parent:
            stored[record["name"]] = (record["size"], record["sha256"])
    problems = []
    for name, expected in local_files(directory).items():
        if name not in stored:
            problems.append("%s: not stored" % name)
        elif stored[name] != expected:
            problems.append("%s: stored %s, local %s" % (name, stored[name], expected))
    return problems


def verify_blob(control, directory, mode):
    completions = [c for c in get(control, "/_emu/completions") if c.get("mode") == mode]
    if not completions:
        return ["no %s completion received" % mode]
    listed = {}
    for entry in completions[-1].get("files", []):
        name = entry.get("name") or entry.get("Name")
        url = entry.get("url") or entry.get("Url")
        listed[name] = url
    problems = []
    for name, expected in local_files(directory).items():
        url = listed.get(name)
        if url is None:
            problems.append("%s: missing from the completion report" % name)
            continue
        parts = urllib.parse.unquote(urllib.parse.urlparse(url).path).lstrip("/").split("/", 2)
        if len(parts) < 3:
            problems.append("%s: unexpected blob URL %s" % (name, url))
            continue
        query = urllib.parse.urlencode({"container": parts[1], "name": parts[2]})
        blob = get(control, "/_emu/blob?" + query)
        if not blob.get("exists"):
            problems.append("%s: blob %s not found" % (name, parts[2]))
        elif (blob["size"], blob["sha256"]) != expected:
            problems.append("%s: blob holds %s, local %s" % (name, (blob["size"], blob["sha256"]),
                                                            expected))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--control", required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--label", required=True)
    parser.add_argument("--folder-parent")
    parser.add_argument("--blob-mode")
    args = parser.parse_args()
    if args.folder_parent is not None:
        problems = verify_folder(args.control, args.dir, args.folder_parent)
    else:
        problems = verify_blob(args.control, args.dir, args.blob_mode)
    count = len(local_files(args.dir))
    if problems:
        print("VERDICT %-34s FAIL" % args.label)
        for p in problems:
            print("    " + p)
        return 1
    print("VERDICT %-34s OK   (%d files byte-identical in the cloud)" % (args.label, count))
    return 0


if __name__ == "__main__":
    sys.exit(main())
