"""Small files over https across a WAN-like link: the library's default, with
DRBackupUploadSingleRequestMiB 4, and the SDK; time per file against the
round trip."""

from . import uploaders, wan
from .tables import load_range, median, round_ratio, table, verdict


def https_small(bench, guid, link, who):
    """The https files through a fresh link (round trip ms, Mbit/s) to a
    fresh nginx TLS front before Azurite (far_store). `who`: "library"
    (the defaults), "library-single" (DRBackupUploadSingleRequestMiB 4),
    "sdk" (upload_blob per file, one client)."""
    emu = bench.fresh_emulator()
    token = emu.login()
    files = bench.args.https_files
    with wan.far_store(bench, emu, link, tls=True) as (base, ca_file, _):
        container, service_url, sas = uploaders.blob_target(bench, emu, "direct", token, guid,
                                                            base=base)
        if who.startswith("library"):
            result = uploaders.library_blob(bench, emu, guid, files,
                                            wan.library_settings(bench, who), "https-" + who,
                                            folder="https",
                                            extra_env={"ZUCLOUD_CA_FILE": ca_file})
        else:
            result = uploaders.sdk_run(bench, service_url, sas, files, None, 1, folder="https",
                                       ca_file=ca_file)
    return uploaders.with_file_count(emu, container, "https", files, result, "https files, " + who)


def https_report(bench, args):
    res = bench.results
    links = sorted({k.split("/")[0] for k in res if k.startswith("https-")},
                   key=lambda k: [float(x) for x in k.split("-")[1:]])
    if not links:
        return [], []
    count = len(args.https_files)
    out = ["Small files over https across a WAN-like link: %d files of %d bytes through the "
           "relay to an nginx TLS front before Azurite (library: one process, one init, one "
           "UploadFile per file; SDK: upload_blob per file, one client); time per file, "
           "median of the rounds; speed against the SDK's is the median over rounds of "
           "SDK time / library time" % (count, args.small_size)]
    rows = [("link", "contender", "ms per file", "round trips per file", "speed vs SDK",
             "target", "verdict", "load")]
    misses = []
    targets = {"library": 0.7, "library-single": 1.0}
    for link in links:
        rtt = float(link.split("-")[1])
        sdk = res.get(link + "/sdk")
        for who in ("library", "library-single", "sdk"):
            r = res.get(link + "/" + who)
            if not r:
                continue
            per_file = 1000 * median(r, "wall_s") / count
            trips = "%.1f" % (per_file / rtt) if rtt > 0 else "-"
            if who == "sdk" or not sdk:
                rows.append((link[6:], who, "%.1f" % per_file, trips, "-", "-", "info",
                             load_range(r)))
                continue
            speed = round_ratio(sdk, r)
            ok = speed >= targets[who]
            rows.append((link[6:], who, "%.1f" % per_file, trips, "%.2f" % speed,
                         ">= %.1f" % targets[who], verdict(ok), load_range(r, sdk)))
            if not ok:
                misses.append(rows[-1])
    return out + table(rows), misses
