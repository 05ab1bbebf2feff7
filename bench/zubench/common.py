"""Constants every benchmark shares (the account, sizes, curl's options, the
benchmark names of --only) and small helpers."""

import base64
import os
import sys

# bench/, where the helper programs (wan_link.py, sdk_upload.py) are, and
# the repository above it.
BENCH_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(BENCH_DIR)

MIB = 1024 * 1024
GIB = 1024 * MIB
USER = "bench"
PASSWORD = "bench-" + base64.b32encode(os.urandom(5)).decode("ascii").lower()
MTIME = "2026-01-02T03:04:05Z"
FOLDER_CHUNK = 4 * MIB
BLOB_BLOCK = 16 * MIB
BLOB_STREAMS = 10
CURL_COMMON = ["-sS", "-H", "Expect:", "-H", "User-Agent:"]
DEFAULT_BENCHMARKS = ("folder,folder-far,blob-library,blob-curl,sdk,wan,sink,sink-https,cap,small,"
                 "md5,https,https-large,pagecache,encryption")
# The large file over https: 10 parallel blocks with MD5 off and on, and
# the SDK at the same concurrency.
HTTPS_LARGE = ("library-p10", "library-p10-md5", "sdk-c10")
# The TLS sink: the library and curl reading a file resident in the page
# cache (the comparison of the target), and both reading it from the disk.
SINK_HTTPS = ("library", "curl", "library-cold", "curl-cold")
ALL_BENCHMARKS = DEFAULT_BENCHMARKS + ",large"
# Client-side encryption: each region of 4 MiB is stored as a 12-byte
# nonce, its ciphertext and a 16-byte tag.
REGION = 4 * MIB
REGION_OVERHEAD = 28


def stored_size(size):
    """Bytes storage holds for an encrypted file of `size` bytes."""
    return size + REGION_OVERHEAD * -(-size // REGION)


def log(text):
    print("   " + text, file=sys.stderr, flush=True)


def untagged(block_ids):
    """The block ids without the upload tag a resumable upload puts in front
    of the six-digit block number (each id the Base64 of tag + number); None
    when the ids do not all carry the same tag."""
    decoded = [base64.b64decode(bid) for bid in block_ids]
    if len({d[:-6] for d in decoded}) > 1:
        return None
    return [base64.b64encode(d[-6:]).decode() for d in decoded]


def rotated(items, start):
    """items in their order starting at start (modulo their number): each
    round of a benchmark starts with another contender, so that none always
    runs first (into a cold cache) or right after the same neighbour."""
    items = list(items)
    start %= len(items)
    return items[start:] + items[:start]
