"""The benchmarks' chart of what a link's round trip costs: time per small
file (over https) and large-file throughput against the round trip, for the
library's defaults, its single-request setting, its parallel blocks and the
Azure Storage SDK for Python. Drawn with matplotlib (Debian's
python3-matplotlib) into a PNG, from the "https-<rtt>-<mbit>/..." and
"wan-<rtt>-<mbit>/..." results of bench/run_benchmarks.py (median of the
rounds; links of other bandwidths are drawn as separate lines), the large
file over https ("large-https-<rtt>-<mbit>/...") beside the one over http,
and CPU seconds per GiB over https, library against curl ("sink-https/...")
in a third panel.
"""

import statistics

SMALL = (("library", "library, defaults"),
         ("library-single", "library, DRBackupUploadSingleRequestMiB 4"),
         ("sdk", "Python SDK, upload_blob"))
LARGE = (("library", "library, defaults (one block at a time)"),
         ("library-p10", "library, DRBackupUploadParallelBlocks 10"),
         ("sdk-c10", "Python SDK, max_concurrency 10"))
LARGE_HTTPS = (("library-p10", "library, ParallelBlocks 10"),
               ("sdk-c10", "Python SDK, max_concurrency 10"))
CPU = (("library", "library\n(cached)"), ("curl", "curl\n(cached)"),
       ("library-cold", "library\n(disk)"), ("curl-cold", "curl\n(disk)"))


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


def cpu_bars(axis, results):
    """CPU s/GiB over https to the TLS sink, median and range of the rounds;
    False when there are no such results."""
    per_gib = lambda r: (r["user_s"] + r["sys_s"]) / (r["bytes"] / 2 ** 30)
    bars = [(label, [per_gib(r) for r in results["sink-https/" + who]])
            for who, label in CPU if results.get("sink-https/" + who)]
    if not bars:
        return False
    medians = [statistics.median(v) for _, v in bars]
    errors = [[m - min(v) for m, (_, v) in zip(medians, bars)],
              [max(v) - m for m, (_, v) in zip(medians, bars)]]
    axis.bar(range(len(bars)), medians, yerr=errors, capsize=4,
             color=["tab:blue" if label.startswith("library") else "tab:gray"
                    for label, _ in bars])
    axis.set_xticks(range(len(bars)), [label for label, _ in bars], fontsize="small")
    for x, m in enumerate(medians):
        axis.annotate("%.2f" % m, (x, m), ha="center", va="bottom", fontsize="small",
                      xytext=(6, 2), textcoords="offset points")
    axis.set(ylabel="CPU s per GiB (lower is better)",
             title="over https to a TLS discard sink\n(median, bars: range of the rounds)")
    return True


def draw(results, small_count, small_size, large_mib, path, note, https_large_mib=None):
    """Writes the chart to `path`; returns False when there is nothing to
    draw."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (small, large, cpu) = plt.subplots(1, 3, figsize=(17, 5.2),
                                            gridspec_kw={"width_ratios": [4, 4, 2.2]})
    drawn = False
    for who, label in SMALL:
        lines = series(results, "https-", who, lambda r: 1000 * r["wall_s"] / small_count)
        for mbit, points in sorted(lines.items()):
            small.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                       label="%s (%g Mbit/s)" % (label, mbit))
            drawn = True
    mbits = lambda r: r["bytes"] * 8 / 1e6 / r["wall_s"]
    for who, label in LARGE:
        for mbit, points in sorted(series(results, "wan-", who, mbits).items()):
            large.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                       label="%s (%g Mbit/s)" % (label, mbit))
            drawn = True
    for who, label in LARGE_HTTPS:
        for mbit, points in sorted(series(results, "large-https-", who, mbits).items()):
            large.plot([p[0] for p in points], [p[1] for p in points], marker="s",
                       linestyle="--", label="%s, %s MiB over https (%g Mbit/s)" % (
                           label, https_large_mib or "?", mbit))
            drawn = True
    drawn = cpu_bars(cpu, results) or drawn
    if not cpu.patches:
        cpu.set_visible(False)
    if not drawn:
        plt.close(fig)
        return False
    small.set(xlabel="round trip (ms)", ylabel="ms per file (lower is better)",
              title="%d files of %d bytes over https" % (small_count, small_size))
    large.set(xlabel="round trip (ms)", ylabel="Mbit/s (higher is better)",
              title="one large file: %d MiB over http (solid)" % large_mib +
              (", %d MiB over https (dashed)" % https_large_mib if https_large_mib else ""))
    for axis in (small, large, cpu):
        axis.grid(True, alpha=0.3)
        axis.set_ylim(bottom=0)
    for axis in (small, large):
        if axis.lines:
            axis.legend(fontsize="x-small")
    fig.suptitle(note, fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True
