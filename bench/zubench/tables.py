"""Figures and Markdown tables of the report, shared by every benchmark's
section."""

import statistics

from .common import GIB, MIB


def median(results, field):
    return statistics.median(r[field] for r in results)


def throughput(results):
    """MiB/s of the median wall time (the files are of equal size)."""
    return results[0]["bytes"] / MIB / median(results, "wall_s")


def cpu_per_gib(results):
    return statistics.median((r["user_s"] + r["sys_s"]) / (r["bytes"] / GIB) for r in results)


def table(rows):
    """Markdown table of string tuples; the first row is the header."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    fmt = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
    return [fmt(rows[0]), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + \
        [fmt(r) for r in rows[1:]]


def mbit(results):
    """Mbit/s (10^6 bits) of the median wall time."""
    return results[0]["bytes"] * 8 / 1e6 / median(results, "wall_s")


def load_range(*result_lists):
    loads = [r["load"] for results in result_lists for r in results]
    return "%.1f-%.1f" % (min(loads), max(loads)) if loads else "-"


def round_ratio(slow, fast):
    """Median over rounds of slow's wall time / fast's: how many times
    faster `fast` was (rounds are interleaved, so each pair ran together)."""
    return statistics.median(a["wall_s"] / b["wall_s"] for a, b in zip(slow, fast))


def verdict(ok):
    return "PASS" if ok else "MISS"
