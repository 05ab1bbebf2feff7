"""WAN-like link: the library and the SDK uploading the WAN file to Azurite
through bench/wan_link.py (and, over https, through the TLS front behind
it); the uploads the encryption, https and https-large benchmarks reuse."""

import contextlib
import os
import statistics

from tls_front import TlsFront
from zuemu import azstore

from . import uploaders
from .common import BLOB_BLOCK, BLOB_STREAMS, GIB, MIB, stored_size
from .servers import WanLink
from .tables import load_range, mbit, round_ratio, table, verdict


@contextlib.contextmanager
def far_store(bench, emu, link, tls=False):
    """Azurite as seen from far away: through a fresh WAN-like link
    (round trip ms, Mbit/s; (0, 0) the plain relay), with tls through a
    fresh nginx TLS front behind the link, so every TCP and TLS handshake
    crosses it; link None is Azurite itself. Yields (account URL, CA
    file or None, the link or None); the link's STATS are read once it
    has stopped."""
    front = wan = None
    try:
        upstream = emu.ports["azurite"]
        if tls:
            front = TlsFront(bench.work, upstream).start()
            upstream = front.port
        if link is None:
            base = front.base if front else emu.azurite_base
        else:
            wan = WanLink(bench.work, upstream, link[0], link[1],
                          bench.args.wan_window).start()
            base = "%s://127.0.0.1:%d/%s" % ("https" if tls else "http", wan.port,
                                             azstore.ACCOUNT)
        yield base, front and front.ca_file, wan
    finally:
        if wan is not None:
            wan.stop()
        if front is not None:
            front.stop()


def library_settings(bench, who):
    """The settings-file lines of a library contender named
    "library[-pN][-single][-md5][-enc]": N parallel blocks (and at least
    N streams), one request per file up to 4 MiB, MD5 on, client-side
    encryption with the run's key file; MD5 is set off explicitly
    otherwise."""
    settings = list(bench.args.blob_setting)
    words = who.split("-")[1:]
    for word in words:
        if word.startswith("p"):
            n = int(word[1:])
            settings.append("DRBackupUploadParallelBlocks = %d" % n)
            settings.append("DRBackupUploadStreamCount = %d" % max(n, BLOB_STREAMS))
        elif word == "single":
            settings.append("DRBackupUploadSingleRequestMiB = 4")
        elif word == "enc":
            settings.append("DRBackupEncryptionKeyFile = %s" % bench.key_file())
    settings.append("bEnableZUCloudDRBackupContentMD5 = %s" % (
        "true" if "md5" in words else "false"))
    return settings


def wan_upload(bench, guid, link, who, tls=False, path=None):
    """One upload of the WAN file (or `path`) to Azurite through a fresh
    link, see far_store. `who`: a library contender (library_settings)
    or "sdk-cN" (16 MiB blocks, max_concurrency N)."""
    emu = bench.fresh_emulator()
    token = emu.login()
    path = path or bench.args.wan_file
    size = os.path.getsize(path)
    with far_store(bench, emu, link, tls) as (base, ca_file, wan):
        container, service_url, sas = uploaders.blob_target(bench, emu, "direct", token, guid,
                                                            base=base)
        if who.startswith("library"):
            result = uploaders.library_blob(
                     bench, emu, guid, path, library_settings(bench, who), "wan-" + who,
                     extra_env=ca_file and {"ZUCLOUD_CA_FILE": ca_file})
            name, blocks = "bench/" + os.path.basename(path), uploaders.block_ids(
                     bench, -(-size // BLOB_BLOCK))
        else:
            result = uploaders.sdk_run(bench, service_url, sas, [path], BLOB_BLOCK,
                                       int(who.split("-c")[1]), ca_file=ca_file)
            name, blocks = "bench/sdk.bin", None
    result["relay_cpu_s"] = wan.stats.get("cpu_s") if wan is not None else None
    encrypted = who.startswith("library") and "enc" in who.split("-")
    uploaders.check_blob(bench, emu, container, name, "wan " + who, blocks,
                         stored_size(size) if encrypted else size)
    if encrypted:
        props = azstore.BlobStore(emu.azurite_base).blob_properties(container, name)
        if "x-ms-meta-encryptiondata" not in (props or {}):
            raise RuntimeError("wan %s: the blob carries no encryptiondata" % who)
    return result


def wan_report(bench, args):
    res = bench.results
    if not any(k.startswith("wan-") for k in res):
        return [], []
    relay = res.get("wan-relay/sdk-c16")
    direct = res.get("wan-azurite/sdk-c16")
    capacity = mbit(relay) if relay else None
    relay_cpu = [r["relay_cpu_s"] / (r["bytes"] / GIB) for key, rs in res.items()
                 if key.startswith("wan-") for r in rs if r.get("relay_cpu_s") is not None]
    out = ["WAN-like link (bench/wan_link.py between the uploader and Azurite), %d MiB blob; "
           "what the relay itself carries (no delay, no cap, SDK 16 MiB blocks at "
           "max_concurrency 16): %s; the same straight to Azurite: %s; the relay's own CPU "
           "time: %s" % (
               args.wan_size // MIB,
               "%.0f Mbit/s (load %s)" % (capacity, load_range(relay)) if relay else "-",
               "%.0f Mbit/s (load %s)" % (mbit(direct), load_range(direct)) if direct
               else "-",
               "%.2f s per GiB (median of its runs)" % statistics.median(relay_cpu)
               if relay_cpu else "-"),
           "What can pass: the smaller of the link and what the relay carries, taken as the "
           "larger of its plain run and the best contender's rate on that link."]
    rows = [("link", "contender", "Mbit/s", "share of link",
             "share of what can pass", "target", "verdict", "load")]
    misses = []
    names = {"library": "library, default (1 block in flight)",
             "library-p10": "library, ParallelBlocks 10",
             "sdk-c1": "SDK 16 MiB, c=1", "sdk-c10": "SDK 16 MiB, c=10"}
    for link in args.wan_links:
        prefix = "wan-%g-%g/" % link
        # What the relay can carry is at least what its plain run carried and
        # at least what any contender got through it on this link (on a
        # loaded machine the plain run can come out lower than the latter).
        carried = [mbit(res[prefix + who]) for who in names if prefix + who in res]
        relay_can = max([capacity or 0] + carried)
        carriable = min(link[1], relay_can)
        for who, name in names.items():
            r = res.get(prefix + who)
            if not r:
                continue
            rate = mbit(r)
            target, ok = "-", None
            if who == "library-p10":
                target = ">= 0.90 of %.0f" % carriable
                ok = rate >= 0.9 * carriable
            rows.append(("%g ms / %g Mbit/s" % link, name, "%.0f" % rate,
                         "%.2f" % (rate / link[1]), "%.2f" % (rate / carriable), target,
                         "info" if ok is None else verdict(ok), load_range(r)))
            if ok is False:
                misses.append(rows[-1])
        lib, sdk = res.get(prefix + "library-p10"), res.get(prefix + "sdk-c10")
        if lib and sdk:
            ratio = round_ratio(sdk, lib)
            rows.append(("%g ms / %g Mbit/s" % link, "library p10 / SDK c=10 (rounds)", "",
                         "", "%.2f" % ratio, ">= 1.00", verdict(ratio >= 1.0),
                         load_range(lib, sdk)))
            if ratio < 1.0:
                misses.append(rows[-1])
        lib, sdk = res.get(prefix + "library"), res.get(prefix + "sdk-c10")
        if lib and sdk:
            rows.append(("%g ms / %g Mbit/s" % link, "SDK c=10 time / library default time",
                         "", "", "%.2f" % (1 / round_ratio(sdk, lib)), "-", "info",
                         load_range(lib, sdk)))
    return out + table(rows), misses
