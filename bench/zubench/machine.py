"""The machine under the benchmarks: its load, the page cache a file holds,
and programs run with their own rusage."""

import os
import subprocess
import time

from page_cache import resident_pages

from .common import MIB


def loadavg():
    """The machine's 1-minute load average."""
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def resident_bytes(path):
    """Bytes of the file in the page cache: fincore (util-linux) when it is
    installed, else mincore on a mapping of the file."""
    try:
        out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                             capture_output=True, text=True, check=True).stdout
        return int(out.split()[0])
    except (OSError, subprocess.CalledProcessError, ValueError, IndexError):
        pass
    resident, _ = resident_pages(path)
    return resident * os.sysconf("SC_PAGE_SIZE")


def cache_whole(path):
    """Writes back and reads the whole file, so that all of it is in the page
    cache; returns the bytes resident then."""
    with open(path, "rb") as f:
        os.fsync(f.fileno())
        while f.read(4 * MIB):
            pass
    return resident_bytes(path)


def drop_cached(path):
    """Writes back the file and drops its pages from the page cache, so that
    the next read comes from the disk."""
    with open(path, "rb") as f:
        os.fsync(f.fileno())
        os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


def run_measured(argv, out_path, env=None, err_path=None):
    """Runs argv to completion; returns (exit code, wall s, user s, sys s,
    peak RSS KiB) from the child's own rusage."""
    with open(out_path, "wb") as out, open(err_path or os.devnull, "ab") as err:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=out, stderr=err, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, wall, usage.ru_utime, usage.ru_stime, usage.ru_maxrss
