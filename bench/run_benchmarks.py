#!/usr/bin/python3
"""Runs the upload benchmarks and prints one report table: the entry point
scripts/bench.sh calls (run it with Debian's /usr/bin/python3). The driver
is the package zubench/ beside this file: its runner, its report writer and
one module per benchmark."""

import sys

from zubench.cli import main

if __name__ == "__main__":
    sys.exit(main())
