"""Diff: ``mirvane diff`` of two recorded runs, against reading both recordings alone.

    python bench/diff.py [--seconds S] [--repeat R] [--quick]

Two runs of the sample cell of S seconds (default 600, ``--quick`` 60) with
one seed: a clean one and one with faults (``all`` at 1 a minute, the first
a minute or so in), as ``mirvane record`` makes them. Reading: each recording
parsed (``RecordReader``) and every product's stamp touched. Diff: the
command's whole work in this process, ``mirvane diff CLEAN FAULTY --format
json`` (loading both, the first difference, both runs' events and figures, the
events only one has), and for reference the clean run against itself. The
calls alternate; the best of R (default 3) of each is kept.
Goal: diff under 2 times the reading of both.
"""

import argparse
import contextlib
import io
import os
import sys
import tempfile
import time
from typing import Callable, Dict, List


def make_runs(scratch: str, seconds: float) -> List[str]:
    from mirvane.data import Data
    from mirvane.simulation.cell import run_cell
    from mirvane.simulation.faults import Faults

    paths = []
    for name, faults in (("clean", None), ("faulty", Faults.parse("all", per_minute=1.0))):
        data = Data()
        data.addRecord(run_cell(seconds, seed=1, faults=faults)[0])
        paths.append(os.path.join(scratch, f"{name}.rec"))
        data.save(paths[-1])
    return paths


def read(*paths: str) -> None:
    from mirvane.formats.recordstream import RecordReader

    for path in paths:
        with RecordReader(path) as reader:
            for _, record in reader.records():
                sum(product.timestamp_ns for product in record.products)


def diff(a: str, b: str) -> None:
    from mirvane.cli import main

    with contextlib.redirect_stdout(io.StringIO()):
        status = main(["diff", a, b, "--format", "json"])
    assert status in (0, 1), status


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=600.0)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="60 s runs, for a smoke run")
    args = ap.parse_args()
    seconds = 60.0 if args.quick else args.seconds

    print(f"mirvane diff benchmark: Python {sys.version.split()[0]}, two {seconds:g} s runs")
    with tempfile.TemporaryDirectory(prefix="mirvane-bench-diff-") as scratch:
        clean, faulty = make_runs(scratch, seconds)
        work: Dict[str, Callable[[], None]] = {
            "reading both": lambda: read(clean, faulty),
            "diff clean faulty": lambda: diff(clean, faulty),
            "diff clean clean": lambda: diff(clean, clean),
        }
        best = dict.fromkeys(work, float("inf"))
        for _ in range(args.repeat):
            for name, call in work.items():
                start = time.perf_counter()
                call()
                best[name] = min(best[name], time.perf_counter() - start)
    reading = best["reading both"]
    for name, took in best.items():
        print(f"  {name + ':':19} {took:7.3f} s ({took / reading:.1f}x the reading)")
    print(f"  diff / reading both: {best['diff clean faulty'] / reading:.1f}x (goal: under 2x)")


if __name__ == "__main__":
    main()
