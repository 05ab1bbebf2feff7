"""The benchmarks' chart of what a link's round trip costs: time per small
file (over https) and large-file throughput against the round trip, for the
library's defaults, its single-request setting, its parallel blocks and the
Azure Storage SDK for Python. Drawn with matplotlib (Debian's
python3-matplotlib) into a PNG, from the "https-<rtt>-<mbit>/..." and
"wan-<rtt>-<mbit>/..." results of bench/run_benchmarks.py (median of the
rounds; links of other bandwidths are drawn as separate lines).
"""

import statistics

SMALL = (("library", "library, defaults"),
         ("library-single", "library, DRBackupUploadSingleRequestMiB 4"),
         ("sdk", "Python SDK, upload_blob"))
LARGE = (("library", "library, defaults (one block at a time)"),
         ("library-p10", "library, DRBackupUploadParallelBlocks 10"),
         ("sdk-c10", "Python SDK, max_concurrency 10"))


def series(results, prefix, who, value):
    """{Mbit/s: [(round trip ms, median value)]} of one contender."""
    lines = {}
    for key, runs in results.items():
        link, _, name = key.partition("/")
        if not link.startswith(prefix) or name != who:
            continue
        try:
            rtt, mbit = (float(x) for x in link[len(prefix):].split("-"))
        except ValueError:
            continue  # the plain relay and the direct runs
        lines.setdefault(mbit, []).append((rtt, statistics.median(value(r) for r in runs)))
    return {mbit: sorted(points) for mbit, points in lines.items()}


def draw(results, small_count, small_size, large_mib, path, note):
    """Writes the chart to `path`; returns False when there is nothing to
    draw."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (small, large) = plt.subplots(1, 2, figsize=(12, 4.8))
    drawn = False
    for who, label in SMALL:
        lines = series(results, "https-", who, lambda r: 1000 * r["wall_s"] / small_count)
        for mbit, points in sorted(lines.items()):
            small.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                       label="%s (%g Mbit/s)" % (label, mbit))
            drawn = True
    for who, label in LARGE:
        lines = series(results, "wan-", who, lambda r: r["bytes"] * 8 / 1e6 / r["wall_s"])
        for mbit, points in sorted(lines.items()):
            large.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                       label="%s (%g Mbit/s)" % (label, mbit))
            drawn = True
    if not drawn:
        plt.close(fig)
        return False
    small.set(xlabel="round trip (ms)", ylabel="ms per file (lower is better)",
              title="%d files of %d bytes over https" % (small_count, small_size))
    large.set(xlabel="round trip (ms)", ylabel="Mbit/s (higher is better)",
              title="one %d MiB file" % large_mib)
    for axis in (small, large):
        axis.grid(True, alpha=0.3)
        axis.set_ylim(bottom=0)
        if axis.lines:
            axis.legend(fontsize="small")
    fig.suptitle(note, fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True
